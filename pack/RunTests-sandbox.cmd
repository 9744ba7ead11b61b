@echo off
rem Runs the test pack in Windows Sandbox: writes RunTests-here.wsb (that is
rem RunTests.wsb, with this folder's full path, which every build of the
rem sandbox takes) and opens it. The report and results\ come back into
rem sandbox-results\ beside this file.
setlocal
set "here=%~dp0"
set "here=%here:~0,-1%"
if not exist "%here%\sandbox-results" mkdir "%here%\sandbox-results"
powershell -NoProfile -Command "$h = [Security.SecurityElement]::Escape($env:here); $t = Get-Content -Raw (Join-Path $env:here 'RunTests.wsb'); $t = $t.Replace('<HostFolder>.\sandbox-results</HostFolder>', '<HostFolder>' + $h + '\sandbox-results</HostFolder>').Replace('<HostFolder>.</HostFolder>', '<HostFolder>' + $h + '</HostFolder>'); Set-Content -Encoding UTF8 -Path (Join-Path $env:here 'RunTests-here.wsb') -Value $t"
if errorlevel 1 exit /b 1
start "" "%here%\RunTests-here.wsb"
