// RFC 6070, section 2, the 16,777,216-iteration case, run on every SHA-1 engine.

#include <bwvutil/pwd2key.h>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

class Pbkdf2Slow : public PerSha1Engine {};

TEST_P(Pbkdf2Slow, Rfc6070SixteenMillionIterations) {
#ifdef BWV_SANITIZED_BUILD
    GTEST_SKIP() << "too slow under the sanitizers; the other RFC 6070 cases still run";
#endif
    unsigned char dk[20];
    derive_key(reinterpret_cast<const unsigned char *>("password"), 8, reinterpret_cast<const unsigned char *>("salt"), 4,
               16777216, dk, 20);
    EXPECT_EQ(hex(dk, 20), "eefe3d61cd4da4e4e9945b3d6ba2158c2634e984");
}

INSTANTIATE_TEST_SUITE_P(Engines, Pbkdf2Slow, ::testing::ValuesIn(sha1_engines()), engine_name);

}  // namespace
