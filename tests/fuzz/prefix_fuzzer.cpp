// Any bytes as a slot name: the reader key and the cache prefix must stay
// inside their 260-byte buffers, be terminated, and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "certcache/cache_prefix.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "prefix fuzzer: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly as long as the input plus its terminator, so any read past the
    // end of the name is caught.
    char* name = new char[size + 1];
    memcpy(name, data, size);
    name[size] = '\0';
    size_t nameLength = strlen(name);

    char* key = new char[MAX_PATH];
    char* prefix = new char[MAX_PATH];
    memset(key, 'X', MAX_PATH);
    memset(prefix, 'X', MAX_PATH);

    bool keyMade = MakeReaderKey(name, key);
    int result = MakeCachePrefix(name, prefix);

    Check(memchr(key, '\0', MAX_PATH) != nullptr, "key not terminated");
    Check(memchr(prefix, '\0', MAX_PATH) != nullptr, "prefix not terminated");
    Check(keyMade == (nameLength < MAX_PATH), "key refused for a name that fits, or made for one that does not");
    size_t keyLength = strlen(key);
    if (keyMade) {
        Check(keyLength >= 40, "key shorter than 40");
        Check(keyLength <= nameLength || keyLength == 40, "key longer than its name");
    } else {
        Check(keyLength == 0, "refused key not empty");
    }

    // The reader key comes from MakeReaderKey, the one rule. What the prefix
    // adds to it is read here a second time, on purpose, from the contract
    // in cache_prefix.h: an expectation made by MakeCachePrefix itself would
    // compare the function with itself and could only find crashes.
    // "NN_" + key fits 259 characters exactly when the key has at most 255.
    bool prefixFits = keyMade && keyLength <= 255;
    Check((result == CACHE_PREFIX_OK) == prefixFits, "prefix result wrong for its length");
    if (result == CACHE_PREFIX_OK) {
        char expected[MAX_PATH + 16];
        snprintf(expected, sizeof expected, "%02d_%s", static_cast<int>(keyLength + 1), key);
        Check(strcmp(expected, prefix) == 0, "prefix is not the key with its length");
        char* end = nullptr;
        long number = strtol(prefix, &end, 10);
        Check(number == static_cast<long>(keyLength + 1) && *end == '_', "prefix does not begin with the key length");
        Check(strlen(prefix) < MAX_PATH, "prefix too long");
    } else {
        Check(prefix[0] == '\0', "failed prefix not empty");
    }

    delete[] prefix;
    delete[] key;
    delete[] name;
    return 0;
}
