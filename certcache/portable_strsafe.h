// Bounded string copy and formatting for the reader-key code. On Windows this
// is strsafe.h itself; elsewhere (the native fuzz build) a small stand-in with
// the same calls and the same results: a destination that is too small gets a
// truncated, terminated string and STRSAFE_E_INSUFFICIENT_BUFFER, which the
// callers treat as failure and never use.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <strsafe.h>
#else
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifndef MAX_PATH
#define MAX_PATH 260
#endif

typedef int32_t HRESULT;
#define S_OK ((HRESULT)0)
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)(-2147024774)) /* 0x8007007A */
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)(-2147024809))   /* 0x80070057 */
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

inline HRESULT StringCchCopyA(char* dest, size_t cchDest, const char* src)
{
    if (dest == nullptr || cchDest == 0) return STRSAFE_E_INVALID_PARAMETER;
    size_t i = 0;
    for (; i + 1 < cchDest && src[i] != '\0'; ++i) dest[i] = src[i];
    dest[i] = '\0';
    return src[i] == '\0' ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

__attribute__((format(printf, 3, 4)))
inline HRESULT StringCchPrintfA(char* dest, size_t cchDest, const char* format, ...)
{
    if (dest == nullptr || cchDest == 0) return STRSAFE_E_INVALID_PARAMETER;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(dest, cchDest, format, args);
    va_end(args);
    if (written < 0) {
        dest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return static_cast<size_t>(written) < cchDest ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}
#endif
