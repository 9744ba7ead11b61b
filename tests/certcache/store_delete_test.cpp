// DeleteCertificateFromSystemStore's results against the current user's real
// stores; what remains is read by a second process (storeprobe.exe).
#include "certcache/cert_purge.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class StoreDelete : public ::testing::Test {
protected:
    void SetUp() override { RemoveTestCertificates(); }
    void TearDown() override { RemoveTestCertificates(); }

    static int Delete(const Bytes& encoded)
    {
        return DeleteCertificateFromSystemStore(encoded.data(), static_cast<DWORD>(encoded.size()));
    }
};

TEST_F(StoreDelete, NoDataOrNoCertificateLeavesTheStoresAlone)
{
    Bytes rsa = TestData("rsa.der");
    Bytes big = TestData("big.der");
    ASSERT_TRUE(AddToStore(L"MY", rsa));
    ASSERT_TRUE(AddToStore(L"MY", big));
    StoreCount before = ProbeStore("MY", "rsa.der");

    EXPECT_EQ(CERT_DELETE_BADARG, DeleteCertificateFromSystemStore(nullptr, 100));
    EXPECT_EQ(CERT_DELETE_BADARG, DeleteCertificateFromSystemStore(rsa.data(), 0));
    EXPECT_EQ(CERT_DELETE_FAILED, Delete(TestData("garbage.bin")));
    // A certificate cut short is none.
    EXPECT_EQ(CERT_DELETE_FAILED, DeleteCertificateFromSystemStore(big.data(), 4096));

    StoreCount after = ProbeStore("MY", "rsa.der");
    EXPECT_EQ(before.total, after.total);
    EXPECT_EQ(1, after.match);
    EXPECT_EQ(1, ProbeStore("MY", "big.der").match);
}

TEST_F(StoreDelete, StoreChosenByPublicKeyLength)
{
    Bytes rsa = TestData("rsa.der");
    Bytes ec = TestData("ec.der");
    for (const wchar_t* store : {L"MY", L"addressbook"}) {
        ASSERT_TRUE(AddToStore(store, rsa));
        ASSERT_TRUE(AddToStore(store, ec));
    }

    EXPECT_EQ(CERT_DELETE_OK, Delete(rsa));
    EXPECT_EQ(CERT_DELETE_OK, Delete(ec));
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_EQ(1, ProbeStore("addressbook", "rsa.der").match);
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
    EXPECT_EQ(1, ProbeStore("MY", "ec.der").match);
    // The other store still holds each, but is never looked in.
    EXPECT_EQ(CERT_DELETE_NOTFOUND, Delete(rsa));
    EXPECT_EQ(CERT_DELETE_NOTFOUND, Delete(ec));
}

}  // namespace
