// SHA-1 against the standard test vectors, and random octets.
#include "platform/crypto.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

static std::string hex(const uint8_t *d, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out.push_back(digits[d[i] >> 4]);
        out.push_back(digits[d[i] & 15]);
    }
    return out;
}

TEST(PlatformCrypto, Sha1AndRandomOctets) {
    uint8_t d[20];
    ASSERT_TRUE(sha1_two_parts("abc", 3, nullptr, 0, d));
    EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    ASSERT_TRUE(sha1_two_parts("", 0, "", 0, d));
    EXPECT_EQ(hex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const char *msg = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    ASSERT_TRUE(sha1_two_parts(msg, 20, msg + 20, strlen(msg) - 20, d));
    EXPECT_EQ(hex(d, 20), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");

    uint8_t a[64] = {}, b[64] = {};
    ASSERT_TRUE(crypto_random(a, sizeof a));
    ASSERT_TRUE(crypto_random(b, sizeof b));
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    int zeros = 0;
    for (uint8_t o : a)
        zeros += o == 0;
    EXPECT_LT(zeros, 16);
    EXPECT_TRUE(crypto_random(a, 0));
}
