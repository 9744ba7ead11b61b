#include "certcache/cache_prefix.h"

#include <cstring>

#include "certcache/portable_strsafe.h"

namespace {

// A reader key shorter than this is padded with '0' up to this length.
const size_t kMinKeyLength = 40;
const char kPadding[] = "0000000000000000000000000000000000000000";
static_assert(sizeof(kPadding) == kMinKeyLength + 1, "one padding digit per key character");

// Drops the interface part of a device path: everything from the last '#'.
void CutAtLastHash(char* work)
{
    char* hash = strrchr(work, '#');
    if (hash != nullptr) *hash = '\0';
}

// '&' separators become '0'; the first four characters stay as they are.
void ReplaceAmpersands(char* work)
{
    size_t length = strlen(work);
    for (size_t i = 4; i < length; ++i) {
        if (work[i] == '&') work[i] = '0';
    }
}

// A leading "\\?\" or "\\.\" goes: the first '?' (or, only when there is no
// '?' at all, the first '.') standing at index 2 drops the first four
// characters. A three-character string has nothing left after them.
const char* SkipDevicePrefix(const char* work)
{
    const char* mark = strchr(work, '?');
    if (mark == nullptr) mark = strchr(work, '.');
    if (mark == nullptr || mark - work != 2) return work;
    return strlen(work) >= 4 ? work + 4 : work + strlen(work);
}

}  // namespace

bool MakeReaderKey(const char* slotName, char key[MAX_PATH])
{
    if (key == nullptr) return false;
    key[0] = '\0';
    if (slotName == nullptr) return false;

    char work[MAX_PATH];
    if (FAILED(StringCchCopyA(work, MAX_PATH, slotName))) return false;

    CutAtLastHash(work);
    ReplaceAmpersands(work);

    const char* rest = SkipDevicePrefix(work);
    size_t length = strlen(rest);
    int padding = length < kMinKeyLength ? static_cast<int>(kMinKeyLength - length) : 0;
    if (FAILED(StringCchPrintfA(key, MAX_PATH, "%s%.*s", rest, padding, kPadding))) {
        key[0] = '\0';
        return false;
    }
    return true;
}

int MakeCachePrefix(const char* slotName, char prefix[MAX_PATH])
{
    if (prefix == nullptr) return CACHE_PREFIX_BADARG;
    prefix[0] = '\0';
    if (slotName == nullptr) return CACHE_PREFIX_BADARG;

    char key[MAX_PATH] = {};
    if (!MakeReaderKey(slotName, key)) return CACHE_PREFIX_TOO_LONG;

    int keyLength = static_cast<int>(strlen(key));
    if (FAILED(StringCchPrintfA(prefix, MAX_PATH, "%02d_%s", keyLength + 1, key))) {
        prefix[0] = '\0';
        return CACHE_PREFIX_TOO_LONG;
    }
    return CACHE_PREFIX_OK;
}
