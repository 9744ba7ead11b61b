#!/usr/bin/python3
"""Checks the built tool for what a security review of a 32-bit Windows
program asks, and that Windows NT 4.0 SP6 can load it:

- a random load address (DYNAMIC_BASE) with the relocations to move it;
- no executing of data (NX_COMPAT);
- NO_SEH, and no code that registers an exception handler (a write of
  FS:[0], the head of the thread's handler chain): an overrun stack cannot
  redirect a handler the program does not have;
- TERMINAL_SERVER_AWARE;
- no section both writable and executable, no shared section;
- the stack protector: functions compare one canary in the data section
  before they return, and end the process when it changed;
- OS and subsystem version 4.0;
- no imported function that Windows NT 4.0 lacks (NT4_LACKS below);
- at most 120 KB.

And that the test pack's programs load on old Windows: its runner on NT
4.0 (nothing from NT4_LACKS), the other programs on XP (nothing from
XP_LACKS: their static thread runtime imports later functions, which a
shim of ours looks up at run time instead).

    check_hardening.py <VKKSVInitTool.exe> <objdump> [<list of the pack's programs>]

(the list: one path a line, as the build writes it in pack/pack_programs.txt;
RunTests.exe among them is the runner).

Reads the PE file with pefile and the code with the toolchain's objdump.
Prints each finding and exits 1, or exits 0."""

import os
import re
import subprocess
import sys

import pefile

# Functions that Windows NT 4.0 SP6 (with its own msvcrt.dll and the
# comctl32 4.00 it ships) does not export, from the DLLs a program like this
# one imports from. Compiled by hand from Microsoft's API reference (the
# release each function first appeared in: Windows 2000, XP, Vista, 7, 8,
# 10), the Windows SDK headers' version guards (WINVER and _WIN32_WINNT
# 0x0500 and later; _WIN32_IE 0x0300 and later for the common controls,
# which NT 4.0 has at version 4.00), and the functions each msvcrt.dll
# release added (7.0 with Windows XP and later). Not every function those
# releases added: those a program of this kind may pick up. The tool looks
# the ones it uses up at run time instead (MonitorFromWindow,
# GetMonitorInfoW, InitCommonControlsEx, SetDefaultDllDirectories,
# SetDllDirectoryA; SHGetFolderPathA is looked up in a shell32 loaded at run
# time).
NT4_LACKS = {
    "KERNEL32.DLL": """
        SetDllDirectoryA SetDllDirectoryW GetDllDirectoryA GetDllDirectoryW
        SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory
        SetSearchPathMode GetModuleHandleExA GetModuleHandleExW
        GetSystemWow64DirectoryA GetSystemWow64DirectoryW IsWow64Process
        Wow64DisableWow64FsRedirection Wow64RevertWow64FsRedirection
        GetNativeSystemInfo VerifyVersionInfoA VerifyVersionInfoW
        VerSetConditionMask GlobalMemoryStatusEx GetLongPathNameA
        GetLongPathNameW CreateHardLinkA CreateHardLinkW ReplaceFileA
        ReplaceFileW GetFileSizeEx SetFilePointerEx MoveFileWithProgressA
        MoveFileWithProgressW CreateJobObjectA CreateJobObjectW
        AssignProcessToJobObject SetInformationJobObject TerminateJobObject
        QueryInformationJobObject QueueUserWorkItem CreateTimerQueue
        CreateTimerQueueTimer DeleteTimerQueueTimer DeleteTimerQueueEx
        BindIoCompletionCallback RegisterWaitForSingleObject UnregisterWait
        UnregisterWaitEx OpenThread InitializeCriticalSectionEx
        InitializeSListHead InterlockedPushEntrySList
        InterlockedPopEntrySList InterlockedFlushSList GetTickCount64
        GetProcessId GetThreadId GetComputerNameExA GetComputerNameExW
        GetVolumePathNameA GetVolumePathNameW GetSystemWindowsDirectoryA
        GetSystemWindowsDirectoryW HeapSetInformation SetProcessDEPPolicy
        GetProcessDEPPolicy EncodePointer DecodePointer
        AddVectoredExceptionHandler RemoveVectoredExceptionHandler
        RtlCaptureContext AttachConsole GetConsoleWindow CreateActCtxA
        CreateActCtxW ActivateActCtx DeactivateActCtx ReleaseActCtx
        GetCurrentActCtx FindActCtxSectionStringA FindActCtxSectionStringW
        GetLogicalProcessorInformation FlsAlloc FlsFree FlsGetValue
        FlsSetValue GetFinalPathNameByHandleA GetFinalPathNameByHandleW
        CreateSymbolicLinkA CreateSymbolicLinkW SetFileInformationByHandle
        GetFileInformationByHandleEx CancelIoEx InitOnceExecuteOnce
        InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared
        InitializeConditionVariable SleepConditionVariableCS
        GetLocaleInfoEx CompareStringEx LCIDToLocaleName LocaleNameToLCID
        GetUserDefaultLocaleName GetUserDefaultUILanguage
        GetSystemDefaultUILanguage GetCurrentProcessorNumber
        QueryFullProcessImageNameA QueryFullProcessImageNameW
        WTSGetActiveConsoleSessionId ProcessIdToSessionId
        CreateMemoryResourceNotification SetThreadExecutionState
        GetSystemTimes CheckRemoteDebuggerPresent DebugActiveProcessStop
        FindFirstVolumeA FindFirstVolumeW GetVolumeNameForVolumeMountPointA
        GetVolumeNameForVolumeMountPointW AllocateUserPhysicalPages
        GetProcessIoCounters ConvertThreadToFiberEx GetGeoInfoA GetGeoInfoW
        EnumSystemLanguageGroupsA EnumSystemLanguageGroupsW
        IsValidLanguageGroup GetCalendarInfoA GetCalendarInfoW
        K32GetModuleFileNameExA K32GetModuleFileNameExW
        K32EnumProcessModules K32GetProcessMemoryInfo
    """,
    "USER32.DLL": """
        MonitorFromWindow MonitorFromPoint MonitorFromRect GetMonitorInfoA
        GetMonitorInfoW EnumDisplayMonitors EnumDisplayDevicesA
        EnumDisplayDevicesW GetAncestor AllowSetForegroundWindow
        LockSetForegroundWindow AnimateWindow GetMenuInfo SetMenuInfo
        GetLastInputInfo SetLayeredWindowAttributes UpdateLayeredWindow
        GetLayeredWindowAttributes PrintWindow FlashWindowEx
        RegisterDeviceNotificationA RegisterDeviceNotificationW
        UnregisterDeviceNotification GetRawInputData RegisterRawInputDevices
        GetRawInputDeviceList GetGuiResources LockWorkStation
        ChangeDisplaySettingsExA ChangeDisplaySettingsExW
        EnumDisplaySettingsExA EnumDisplaySettingsExW
        GetProcessDefaultLayout SetProcessDefaultLayout UserHandleGrantAccess
        IsHungAppWindow DisableProcessWindowsGhosting SetProcessDPIAware
        SetProcessDpiAwarenessContext GetDpiForWindow GetDpiForSystem
        AdjustWindowRectExForDpi GetSystemMetricsForDpi
        ChangeWindowMessageFilter ChangeWindowMessageFilterEx
        AddClipboardFormatListener RemoveClipboardFormatListener
        ShutdownBlockReasonCreate ShutdownBlockReasonDestroy
        RegisterPowerSettingNotification IsWow64Message
        BroadcastSystemMessageExA BroadcastSystemMessageExW
        SetWindowDisplayAffinity GetWindowRgnBox
        GetWindowLongPtrA GetWindowLongPtrW SetWindowLongPtrA
        SetWindowLongPtrW GetClassLongPtrA GetClassLongPtrW
        SetClassLongPtrA SetClassLongPtrW
    """,
    "GDI32.DLL": """
        SetDCBrushColor SetDCPenColor GetDCBrushColor GetDCPenColor
        GradientFill GdiGradientFill GdiAlphaBlend GdiTransparentBlt
        GetFontUnicodeRanges GetGlyphIndicesA GetGlyphIndicesW
        AddFontResourceExA AddFontResourceExW RemoveFontResourceExA
        RemoveFontResourceExW AddFontMemResourceEx RemoveFontMemResourceEx
        CreateFontIndirectExA CreateFontIndirectExW GetTextExtentPointI
        GetTextExtentExPointI GetCharWidthI GetCharABCWidthsI GetLayout
        SetLayout
    """,
    "ADVAPI32.DLL": """
        RegOpenCurrentUser RegOverridePredefKey RegGetValueA RegGetValueW
        RegDeleteKeyExA RegDeleteKeyExW RegDeleteTreeA RegDeleteTreeW
        RegSetKeyValueA RegSetKeyValueW RegLoadMUIStringA RegLoadMUIStringW
        RegDisablePredefinedCache RegOpenUserClassesRoot RegCopyTreeA
        RegCopyTreeW RegDisableReflectionKey RegEnableReflectionKey
        RegQueryReflectionKey CreateProcessWithLogonW CreateProcessWithTokenW
        ConvertSidToStringSidA ConvertSidToStringSidW ConvertStringSidToSidA
        ConvertStringSidToSidW
        ConvertStringSecurityDescriptorToSecurityDescriptorA
        ConvertStringSecurityDescriptorToSecurityDescriptorW
        ConvertSecurityDescriptorToStringSecurityDescriptorA
        ConvertSecurityDescriptorToStringSecurityDescriptorW
        CheckTokenMembership CreateWellKnownSid IsWellKnownSid
        CreateRestrictedToken SetSecurityDescriptorControl SystemFunction036
        EventRegister EventWrite EventUnregister CryptSetProviderExA
        CryptGetDefaultProviderA CryptEnumProvidersA CryptEnumProvidersW
        CryptContextAddRef AddAccessAllowedAceEx AddAccessAllowedObjectAce
        GetInheritanceSourceA GetInheritanceSourceW ChangeServiceConfig2A
        ChangeServiceConfig2W QueryServiceConfig2A QueryServiceConfig2W
        QueryServiceStatusEx EnumServicesStatusExA EnumServicesStatusExW
        RegisterServiceCtrlHandlerExA RegisterServiceCtrlHandlerExW
        SaferCreateLevel LogonUserExA LogonUserExW CredReadA CredReadW
        CredWriteA CredWriteW CredFree TreeResetNamedSecurityInfoA
    """,
    "SHELL32.DLL": """
        SHGetFolderPathA SHGetFolderPathW SHGetFolderLocation
        SHGetKnownFolderPath SHCreateItemFromParsingName
        SHGetSpecialFolderPathA SHGetSpecialFolderPathW SHCreateDirectoryExA
        SHCreateDirectoryExW SHParseDisplayName SHCreateShellItem
        SHOpenFolderAndSelectItems SHGetStockIconInfo
        SHGetPropertyStoreForWindow SHSetFolderPathA SHSetFolderPathW
        SHGetFolderPathAndSubDirA SHGetFolderPathAndSubDirW
        SHQueryRecycleBinA SHQueryRecycleBinW SHEmptyRecycleBinA
        SHEmptyRecycleBinW SHGetIconOverlayIndexA SHGetImageList
        SHGetDiskFreeSpaceExA SHGetDiskFreeSpaceExW SHGetSetSettings
        SHGetSettings
    """,
    "COMCTL32.DLL": """
        InitCommonControlsEx ImageList_SetImageCount ImageList_Copy
        ImageList_Duplicate ImageList_DrawIndirect InitializeFlatSB
        UninitializeFlatSB FlatSB_EnableScrollBar FlatSB_ShowScrollBar
        FlatSB_GetScrollInfo FlatSB_SetScrollInfo FlatSB_GetScrollPos
        FlatSB_SetScrollPos FlatSB_GetScrollRange FlatSB_SetScrollRange
        FlatSB_GetScrollProp FlatSB_SetScrollProp _TrackMouseEvent
        SetWindowSubclass GetWindowSubclass RemoveWindowSubclass
        DefSubclassProc TaskDialog TaskDialogIndirect LoadIconMetric
        LoadIconWithScaleDown DrawShadowText ImageList_CoCreateInstance
        ImageList_ReadEx ImageList_WriteEx HIMAGELIST_QueryInterface
        InitMUILanguage
    """,
    "MSVCRT.DLL": """
        ___lc_codepage_func ___mb_cur_max_func ___lc_handle_func __iob_func
        _get_output_format _set_output_format _set_invalid_parameter_handler
        _get_invalid_parameter_handler _aligned_malloc _aligned_free
        _aligned_realloc _ctime64 _time64 _localtime64 _gmtime64 _mktime64
        _fstat64 _stat64 _wstat64 _ftelli64 _fseeki64 _strtoi64 _strtoui64
        _wcstoi64 _vscprintf _scprintf _vscwprintf _snprintf_s _vsnprintf_s
        sprintf_s vsprintf_s strcpy_s strcat_s strncpy_s memcpy_s memmove_s
        wcscpy_s wcscat_s _itoa_s _get_errno _set_errno _get_doserrno
        _set_abort_behavior _localtime64_s _wfopen_s fopen_s qsort_s
        strtok_s _mbsnbcpy_s _resetstkoflw _set_SSE2_enable _create_locale
        _free_locale _configthreadlocale __uncaught_exception
    """,
}

# Functions of Vista and later that a C++ program built with this toolchain
# may pick up, from its thread runtime or directly: 32-bit Windows XP SP3
# (with its msvcrt.dll 7.0) lacks them. Compiled as NT4_LACKS is.
XP_LACKS = {
    "KERNEL32.DLL": """
        GetTickCount64 InitializeSRWLock AcquireSRWLockExclusive
        AcquireSRWLockShared ReleaseSRWLockExclusive ReleaseSRWLockShared
        InitializeConditionVariable SleepConditionVariableCS
        SleepConditionVariableSRW WakeConditionVariable
        WakeAllConditionVariable InitOnceExecuteOnce
        InitializeCriticalSectionEx GetFinalPathNameByHandleW
        CreateSymbolicLinkW GetFileInformationByHandleEx
        SetFileInformationByHandle CancelIoEx QueryFullProcessImageNameW
        GetLocaleInfoEx LocaleNameToLCID GetUserDefaultLocaleName
        SetDefaultDllDirectories AddDllDirectory
    """,
    "ADVAPI32.DLL": """
        RegDeleteKeyExA RegDeleteKeyExW RegGetValueW RegDeleteTreeW
        RegSetKeyValueW RegCopyTreeW EventRegister EventWrite
    """,
    "SHELL32.DLL": "SHGetKnownFolderPath SHCreateItemFromParsingName",
    "COMCTL32.DLL": "TaskDialog TaskDialogIndirect",
    "MSVCRT.DLL": """
        _set_invalid_parameter_handler sprintf_s strcpy_s strcat_s memcpy_s
        wcscpy_s
    """,
}

# The DLL characteristics and section flags the review asks about.
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
NO_SEH = 0x0400
TERMINAL_SERVER_AWARE = 0x8000
RELOCS_STRIPPED = 0x0001
MEM_SHARED = 0x10000000
MEM_EXECUTE = 0x20000000
MEM_WRITE = 0x80000000

MAX_SIZE = 120 * 1024

# The fewest functions that must check the canary: the tool has dozens of
# functions with local buffers.
MIN_CANARY_CHECKS = 5


def header_findings(pe):
    findings = []
    if len(pe.__data__) > MAX_SIZE:
        findings.append("%d bytes, more than %d" % (len(pe.__data__), MAX_SIZE))
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for bit, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"), (NX_COMPAT, "NX_COMPAT"),
                      (NO_SEH, "NO_SEH"), (TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE")):
        if not flags & bit:
            findings.append("DllCharacteristics lacks %s (0x%04x)" % (name, flags))
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED or relocations.Size == 0:
        findings.append("no relocation table: the loader cannot move the image")
    header = pe.OPTIONAL_HEADER
    versions = {
        "OS version": (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
        "subsystem version": (header.MajorSubsystemVersion, header.MinorSubsystemVersion),
    }
    for name, version in versions.items():
        if version != (4, 0):
            findings.append("%s is %d.%d, not 4.0" % ((name,) + version))
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("latin-1")
        flags = section.Characteristics
        if flags & MEM_WRITE and flags & MEM_EXECUTE:
            findings.append("section %s is both writable and executable" % name)
        if flags & MEM_SHARED:
            findings.append("section %s is shared between processes" % name)
    return findings


def import_findings(pe, lacks=NT4_LACKS, windows="Windows NT 4.0"):
    lacking = {dll: set(names.split()) for dll, names in lacks.items()}
    findings = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("latin-1").upper()
        for function in entry.imports:
            name = function.name.decode("latin-1") if function.name else None
            if name is None:
                findings.append("%s is imported by ordinal %d: cannot tell whether %s has it"
                                % (dll, function.ordinal, windows))
            elif name in lacking.get(dll, ()):
                findings.append("imports %s!%s, which %s lacks" % (dll, name, windows))
    return findings


def code_findings(pe, exe, objdump):
    """The code, disassembled: no write of FS:[0]; the canary checks."""
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], check=True,
                             capture_output=True, text=True).stdout
    findings = []
    instructions = []
    for line in listing.splitlines():
        match = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if match:
            instructions.append((int(match.group(1), 16), match.group(2), match.group(3)))
    for address, mnemonic, operands in instructions:
        # AT&T syntax: the destination is the last operand.
        destination = operands.split(",")[-1].strip()
        if re.fullmatch(r"%fs:(0x)?0+", destination) and mnemonic not in ("cmp", "test"):
            findings.append("0x%x writes FS:[0] (%s %s): it registers an exception handler, "
                            "which NO_SEH forbids" % (address, mnemonic, operands))
        elif re.search(r"%fs:[^,]*\(", operands):
            findings.append("0x%x reaches FS through a register (%s %s): cannot rule out a "
                            "write of FS:[0]" % (address, mnemonic, operands))

    # A canary check: the saved copy minus the canary (an absolute address),
    # then a conditional jump to the failure call.
    data = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".data"]
    checks = {}
    for i, (_, mnemonic, operands) in enumerate(instructions[:-1]):
        match = re.fullmatch(r"(0x[0-9a-f]+),%e[a-z]{2}", operands)
        if mnemonic in ("sub", "xor") and match and instructions[i + 1][1] == "jne":
            canary = int(match.group(1), 16)
            checks[canary] = checks.get(canary, 0) + 1
    base = pe.OPTIONAL_HEADER.ImageBase
    in_data = {canary: count for canary, count in checks.items()
               if data and data[0].contains_rva(canary - base)}
    if not in_data or max(in_data.values()) < MIN_CANARY_CHECKS:
        findings.append("no stack protector: fewer than %d functions check a canary in .data "
                        "(found %s)" % (MIN_CANARY_CHECKS, in_data or "none"))
    return findings


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    exe, objdump = sys.argv[1], sys.argv[2]
    pe = pefile.PE(exe)
    findings = [(exe, f) for f in
                header_findings(pe) + import_findings(pe) + code_findings(pe, exe, objdump)]
    pack = open(sys.argv[3]).read().splitlines() if len(sys.argv) > 3 else []
    for program in pack:
        runner = os.path.basename(program) == "RunTests.exe"
        lacks, windows = (NT4_LACKS, "Windows NT 4.0") if runner else (XP_LACKS, "Windows XP")
        findings += [(program, f) for f in import_findings(pefile.PE(program), lacks, windows)]
    for program, finding in findings:
        print("%s: %s" % (program, finding))
    if findings:
        return 1
    print("%s: hardened; imports nothing Windows NT 4.0 lacks" % exe)
    if pack:
        print("the pack's runner imports nothing NT 4.0 lacks, its %d other programs nothing XP "
              "lacks" % (len(pack) - 1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
