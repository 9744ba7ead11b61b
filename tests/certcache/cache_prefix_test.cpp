#include "certcache/cache_prefix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Zeros(size_t count) { return std::string(count, '0'); }

std::string Prefix(const std::string& name)
{
    char prefix[MAX_PATH];
    memset(prefix, 'X', sizeof prefix);
    int result = MakeCachePrefix(name.c_str(), prefix);
    EXPECT_EQ(CACHE_PREFIX_OK, result) << name;
    EXPECT_NE(nullptr, memchr(prefix, '\0', sizeof prefix));
    return prefix;
}

std::string Key(const std::string& name)
{
    char key[MAX_PATH];
    memset(key, 'X', sizeof key);
    EXPECT_TRUE(MakeReaderKey(name.c_str(), key)) << name;
    EXPECT_NE(nullptr, memchr(key, '\0', sizeof key));
    return key;
}

TEST(CachePrefix, WorkedExamples)
{
    struct Example {
        const char* name;
        std::string prefix;
    } examples[] = {
        {"\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         "41_hid#vid_12340pid_5678#701a2b3c4d00000000"},
        {"Reader A", "41_Reader A00000000000000000000000000000000"},
        {"\\\\.\\KEY0", "41_KEY0000000000000000000000000000000000000"},
        {"ab.c?d", "41_ab.c?d0000000000000000000000000000000000"},
        {"", "41_" + Zeros(40)},
    };
    for (const Example& example : examples) {
        EXPECT_EQ(example.prefix, Prefix(example.name)) << example.name;
    }
    EXPECT_EQ("hid#vid_12340pid_5678#701a2b3c4d00000000",
              Key("\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-"
                  "001111000030}"));
}

TEST(CachePrefix, AmpersandsFromIndexFourBecomeZero)
{
    EXPECT_EQ("abc&0x" + Zeros(34), Key("abc&&x"));
    EXPECT_EQ("&&&&00" + Zeros(34), Key("&&&&&&"));
    EXPECT_EQ("&&&&" + Zeros(36), Key("&&&&"));  // four characters: nothing replaced
    EXPECT_EQ("a&" + Zeros(38), Key("a&"));
}

TEST(CachePrefix, OnlyTheLastHashPartGoes)
{
    EXPECT_EQ("a#b#c" + Zeros(35), Key("a#b#c#d"));
    EXPECT_EQ("x#y" + Zeros(37), Key("x#y#"));
    EXPECT_EQ(Zeros(40), Key("#tail"));
    // The cut comes before the '&' replacement: '&' after the last '#' never counts.
    EXPECT_EQ("abcd0e" + Zeros(34), Key("abcd&e#&&"));
}

TEST(CachePrefix, DevicePrefixDroppedOnlyForMarkAtIndexTwo)
{
    EXPECT_EQ("d.ef" + Zeros(36), Key("ab?cd.ef"));   // '?' at 2
    EXPECT_EQ("ab.c?d" + Zeros(34), Key("ab.c?d"));   // '?' at 4 hides the '.' at 2
    EXPECT_EQ("d" + Zeros(39), Key("ab.cd"));         // no '?', '.' at 2
    EXPECT_EQ("a?b.cd" + Zeros(34), Key("a?b.cd"));   // '?' at 1
    EXPECT_EQ("abc.d" + Zeros(35), Key("abc.d"));     // '.' at 3
    EXPECT_EQ("KEY0" + Zeros(36), Key("\\\\?\\KEY0"));
}

TEST(CachePrefix, ShortNamesWithMarkAtIndexTwo)
{
    // Nothing is left after the first four characters, never anything past the end.
    EXPECT_EQ("41_" + Zeros(40), Prefix("ab?"));
    EXPECT_EQ("41_" + Zeros(40), Prefix("ab."));
    EXPECT_EQ("41_" + Zeros(40), Prefix("ab?x"));
    EXPECT_EQ("41_y" + Zeros(39), Prefix("ab?xy"));
    EXPECT_EQ("41_ab" + Zeros(38), Prefix("ab"));
}

TEST(CachePrefix, KeysOfFortyOrMoreAreNeitherPaddedNorCut)
{
    std::string forty(40, 'k');
    EXPECT_EQ("41_" + forty, Prefix(forty));
    std::string fortyFive = "ReaderWithAFortyFiveCharacterName-0123456789A";
    ASSERT_EQ(45u, fortyFive.size());
    EXPECT_EQ("46_" + fortyFive, Prefix(fortyFive));
    std::string ninetyNine(99, 'n');
    EXPECT_EQ("100_" + ninetyNine, Prefix(ninetyNine));
}

TEST(CachePrefix, LongNamesFitOrLeaveThePrefixEmpty)
{
    for (size_t length = 250; length <= 300; ++length) {
        std::string name(length, 'L');
        char key[MAX_PATH];
        char prefix[MAX_PATH];
        memset(key, 'X', sizeof key);
        memset(prefix, 'X', sizeof prefix);
        bool keyMade = MakeReaderKey(name.c_str(), key);
        int result = MakeCachePrefix(name.c_str(), prefix);

        // The key is the name itself while the name fits the 260-byte work buffer.
        EXPECT_EQ(length <= 259, keyMade) << length;
        EXPECT_EQ(keyMade ? name : std::string(), std::string(key)) << length;
        // "NNN_" and the key fit 259 characters up to a key of 255.
        if (length <= 255) {
            EXPECT_EQ(CACHE_PREFIX_OK, result) << length;
            EXPECT_EQ(std::to_string(length + 1) + "_" + name, std::string(prefix));
        } else {
            EXPECT_EQ(CACHE_PREFIX_TOO_LONG, result) << length;
            EXPECT_STREQ("", prefix) << length;
        }
    }
}

TEST(CachePrefix, LongNameIsJudgedBeforeItsCuts)
{
    // 258 characters that a '#' would cut to 200: fits.
    std::string fits = std::string(200, 'a') + "#" + std::string(57, 'b');
    EXPECT_EQ("201_" + std::string(200, 'a'), Prefix(fits));
    // 280 characters would be cut the same way, but never fitted the work buffer.
    std::string tooLong = std::string(200, 'a') + "#" + std::string(79, 'b');
    char prefix[MAX_PATH] = "not empty";
    EXPECT_EQ(CACHE_PREFIX_TOO_LONG, MakeCachePrefix(tooLong.c_str(), prefix));
    EXPECT_STREQ("", prefix);
}

TEST(CachePrefix, MissingArguments)
{
    char prefix[MAX_PATH] = "not empty";
    EXPECT_EQ(CACHE_PREFIX_BADARG, MakeCachePrefix(nullptr, prefix));
    EXPECT_STREQ("", prefix);
    EXPECT_EQ(CACHE_PREFIX_BADARG, MakeCachePrefix("Reader A", nullptr));
    char key[MAX_PATH] = "not empty";
    EXPECT_FALSE(MakeReaderKey(nullptr, key));
    EXPECT_STREQ("", key);
    EXPECT_FALSE(MakeReaderKey("Reader A", nullptr));
}

}  // namespace
