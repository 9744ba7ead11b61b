// DeleteCertificateFromSystemStore against the current user's real stores;
// what remains is read by a second process (storeprobe.exe).
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

TEST_F(StoreDelete, NoDataIsABadArgument)
{
    Bytes rsa = TestData("rsa.der");
    ASSERT_TRUE(AddToStore(L"MY", rsa));
    EXPECT_EQ(CERT_DELETE_BADARG, DeleteCertificateFromSystemStore(nullptr, 100));
    EXPECT_EQ(CERT_DELETE_BADARG, DeleteCertificateFromSystemStore(rsa.data(), 0));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
}

TEST_F(StoreDelete, UndecodableDataFailsWithoutTouchingTheStores)
{
    Bytes big = TestData("big.der");
    ASSERT_TRUE(AddToStore(L"MY", big));
    StoreCount before = ProbeStore("MY", "big.der");
    EXPECT_EQ(CERT_DELETE_FAILED, Delete(TestData("garbage.bin")));
    // The first 4096 bytes of a larger certificate, as the purge reads it.
    EXPECT_EQ(CERT_DELETE_FAILED, DeleteCertificateFromSystemStore(big.data(), 4096));
    StoreCount after = ProbeStore("MY", "big.der");
    EXPECT_EQ(before.total, after.total);
    EXPECT_EQ(1, after.match);
}

TEST_F(StoreDelete, RsaCertificateOnlyFromMy)
{
    Bytes rsa = TestData("rsa.der");
    ASSERT_TRUE(AddToStore(L"MY", rsa));
    ASSERT_TRUE(AddToStore(L"addressbook", rsa));

    EXPECT_EQ(CERT_DELETE_OK, Delete(rsa));
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_EQ(1, ProbeStore("addressbook", "rsa.der").match);
    // "addressbook" still holds it, but an RSA key is never looked for there.
    EXPECT_EQ(CERT_DELETE_NOTFOUND, Delete(rsa));
}

TEST_F(StoreDelete, EcCertificateOnlyFromAddressbook)
{
    Bytes ec = TestData("ec.der");
    ASSERT_TRUE(AddToStore(L"MY", ec));
    ASSERT_TRUE(AddToStore(L"addressbook", ec));

    EXPECT_EQ(CERT_DELETE_OK, Delete(ec));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
    EXPECT_EQ(1, ProbeStore("MY", "ec.der").match);
    EXPECT_EQ(CERT_DELETE_NOTFOUND, Delete(ec));
}

TEST_F(StoreDelete, OneCopyPerCall)
{
    ASSERT_TRUE(AddToStore(L"MY", TestData("twice_a.der")));
    ASSERT_TRUE(AddToStore(L"MY", TestData("twice_b.der")));
    ASSERT_EQ(2, ProbeStore("MY", "twice_a.der").match);

    // Either encoding matches both: same issuer, same serial number.
    EXPECT_EQ(CERT_DELETE_OK, Delete(TestData("twice_b.der")));
    EXPECT_EQ(1, ProbeStore("MY", "twice_a.der").match);
    EXPECT_EQ(CERT_DELETE_OK, Delete(TestData("twice_b.der")));
    EXPECT_EQ(0, ProbeStore("MY", "twice_a.der").match);
    EXPECT_EQ(CERT_DELETE_NOTFOUND, Delete(TestData("twice_b.der")));
}

TEST_F(StoreDelete, WholeLargeCertificate)
{
    Bytes big = TestData("big.der");
    ASSERT_GT(big.size(), 4096u);
    ASSERT_TRUE(AddToStore(L"MY", big));
    EXPECT_EQ(CERT_DELETE_OK, Delete(big));
    EXPECT_EQ(0, ProbeStore("MY", "big.der").match);
}

}  // namespace
