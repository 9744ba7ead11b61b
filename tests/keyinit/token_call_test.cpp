// Calls into the token library through the call thunk: entry points of
// either calling convention return cleanly, with their arguments in order,
// and leave the caller's stack as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include "keyinit/token_call.h"

namespace {

// Nine arguments, as many as the longest call (VKInitADF) has; the result
// depends on every argument and its position.
uint32_t Mix(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f, uint32_t g,
             uint32_t h, uint32_t i)
{
    return a * 1 + b * 3 + c * 5 + d * 7 + e * 11 + f * 13 + g * 17 + h * 19 + i * 23;
}

extern "C" __attribute__((noinline)) TokenStatus WINAPI CalleePops(
    uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f, uint32_t g, uint32_t h,
    uint32_t i)
{
    return Mix(a, b, c, d, e, f, g, h, i);
}

extern "C" __attribute__((noinline)) TokenStatus __cdecl CallerPops(
    uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f, uint32_t g, uint32_t h,
    uint32_t i)
{
    return Mix(a, b, c, d, e, f, g, h, i);
}

extern "C" __attribute__((noinline)) TokenStatus __cdecl WritesThrough(uint32_t* out)
{
    *out = 0x5EC0DE;
    return 7;
}

typedef TokenStatus(WINAPI* PFN_Nine)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                      uint32_t, uint32_t, uint32_t);
typedef TokenStatus(WINAPI* PFN_Out)(uint32_t*);

FARPROC Entry(void* function)
{
    return reinterpret_cast<FARPROC>(function);
}

TEST(TokenCall, EitherCallingConventionReturnsCleanlyWithArgumentsInOrder)
{
    const uint32_t expected = Mix(1, 2, 3, 4, 5, 6, 7, 8, 9);
    volatile uint32_t canary[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    // Many calls in a row: a stack pointer left off by one call would add up
    // and wreck this frame long before the loop ends.
    for (int round = 0; round < 10000; ++round) {
        ASSERT_EQ((CallToken<PFN_Nine>(Entry(reinterpret_cast<void*>(CalleePops)), 1u, 2u, 3u,
                                       4u, 5u, 6u, 7u, 8u, 9u)),
                  expected);
        ASSERT_EQ((CallToken<PFN_Nine>(Entry(reinterpret_cast<void*>(CallerPops)), 1u, 2u, 3u,
                                       4u, 5u, 6u, 7u, 8u, 9u)),
                  expected);
    }
    EXPECT_EQ(canary[0], 0xA1u);
    EXPECT_EQ(canary[1], 0xB2u);
    EXPECT_EQ(canary[2], 0xC3u);
    EXPECT_EQ(canary[3], 0xD4u);
}

TEST(TokenCall, PointerArgumentsReachTheCallee)
{
    uint32_t out = 0;
    EXPECT_EQ(CallToken<PFN_Out>(Entry(reinterpret_cast<void*>(WritesThrough)), &out), 7u);
    EXPECT_EQ(out, 0x5EC0DEu);
}

}  // namespace
