// Behaviour of the primitives beyond the published vectors: HMAC key phases, the
// derivation's edge values and the generator's determinism.

#include <bwvutil/hmac.h>
#include <bwvutil/prng.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#include <cstring>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

Bytes mac_of(const std::vector<Bytes> &key_pieces, const Bytes &data, uint32_t len = 20) {
    hmac_sha1_ctx ctx;
    hmac_sha1_begin(&ctx);
    for (const auto &p : key_pieces) EXPECT_EQ(hmac_sha1_key(p.data(), static_cast<uint32_t>(p.size()), &ctx), 0);
    hmac_sha1_data(data.data(), static_cast<uint32_t>(data.size()), &ctx);
    Bytes mac(len);
    hmac_sha1_end(mac.data(), len, &ctx);
    return mac;
}

TEST(HmacKeyPhase, KeyGivenInPiecesEqualsTheWholeKeyAlsoAcrossOneBlock) {
    auto rng = seeded_rng("HmacKeyPieces");
    const Bytes data = random_bytes(rng, 100);
    const Bytes key = random_bytes(rng, 150);
    // Splits below, at and beyond 64 bytes, including pieces that start past 64.
    const std::vector<std::vector<std::size_t>> splits = {
        {10}, {30, 30}, {64}, {63, 1}, {64, 1}, {1, 64}, {40, 30}, {60, 10, 10}, {70, 10}, {65}, {20, 20, 20, 20, 20, 50}};
    for (const auto &sizes : splits) {
        std::size_t total = 0;
        std::vector<Bytes> pieces;
        for (std::size_t s : sizes) {
            pieces.emplace_back(key.begin() + static_cast<long>(total), key.begin() + static_cast<long>(total + s));
            total += s;
        }
        const Bytes whole(key.begin(), key.begin() + static_cast<long>(total));
        EXPECT_EQ(mac_of(pieces, data), mac_of({whole}, data)) << "total " << total;
    }
}

TEST(HmacKeyPhase, SixtyFourByteKeyIsUsedAsIsAndLongerKeysAreHashedFirst) {
    const Bytes data = str_bytes("message");
    const Bytes k64(64, 0x3C);
    Bytes digest64(20);
    sha1(digest64.data(), k64.data(), 64);
    EXPECT_NE(mac_of({k64}, data), mac_of({digest64}, data));

    const Bytes k65(65, 0x3C);
    Bytes digest65(20);
    sha1(digest65.data(), k65.data(), 65);
    EXPECT_EQ(mac_of({k65}, data), mac_of({digest65}, data));

    // A key shorter than a block behaves as if zero-padded to 64 bytes.
    const Bytes short_key(10, 0x77);
    Bytes padded = short_key;
    padded.resize(64, 0);
    EXPECT_EQ(mac_of({short_key}, data), mac_of({padded}, data));
}

TEST(HmacKeyPhase, KeyAfterDataIsRefusedAndChangesNothing) {
    hmac_sha1_ctx ctx;
    hmac_sha1_begin(&ctx);
    const Bytes key = str_bytes("key"), data = str_bytes("data");
    hmac_sha1_key(key.data(), 3, &ctx);
    hmac_sha1_data(data.data(), 4, &ctx);
    EXPECT_EQ(ctx.klen, 0xFFFFFFFFu);
    hmac_sha1_ctx before = ctx;
    EXPECT_EQ(hmac_sha1_key(key.data(), 3, &ctx), -1);
    EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
}

TEST(HmacKeyPhase, EmptyDataCallOnlyEndsTheKeyPhase) {
    const Bytes key = str_bytes("secret"), data = str_bytes("payload");
    hmac_sha1_ctx ctx;
    hmac_sha1_begin(&ctx);
    hmac_sha1_key(key.data(), 6, &ctx);
    hmac_sha1_data(nullptr, 0, &ctx);
    hmac_sha1_data(nullptr, 0, &ctx);
    hmac_sha1_data(data.data(), 7, &ctx);
    Bytes mac(20);
    hmac_sha1_end(mac.data(), 20, &ctx);
    EXPECT_EQ(mac, mac_of({key}, data));
    // Ending without any data call is the HMAC of the empty message.
    hmac_sha1_begin(&ctx);
    hmac_sha1_key(key.data(), 6, &ctx);
    hmac_sha1_end(mac.data(), 20, &ctx);
    EXPECT_EQ(mac, mac_of({key}, {}));
}

TEST(HmacOutput, ShortOutputIsAPrefixAndNothingBeyondItIsWritten) {
    const Bytes key = str_bytes("k"), data = str_bytes("d");
    const Bytes full = mac_of({key}, data);
    Bytes out(20, 0xEE);
    hmac_sha1(key.data(), 1, data.data(), 1, out.data(), 10);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10, full.begin()));
    EXPECT_EQ(Bytes(out.begin() + 10, out.end()), Bytes(10, 0xEE));
}

TEST(DeriveKey, ShorterKeyIsAPrefixOfALongerOne) {
    const Bytes pwd = str_bytes("correct horse"), salt = str_bytes("NaCl");
    Bytes longest(66);
    derive_key(pwd.data(), 13, salt.data(), 4, 50, longest.data(), 66);
    for (unsigned len : {1u, 19u, 20u, 21u, 34u, 40u, 50u, 65u}) {
        Bytes k(len);
        derive_key(pwd.data(), 13, salt.data(), 4, 50, k.data(), len);
        EXPECT_TRUE(std::equal(k.begin(), k.end(), longest.begin())) << len;
    }
}

TEST(DeriveKey, ZeroIterationsGiveZeroBytesAndZeroLengthWritesNothing) {
    const Bytes pwd = str_bytes("password"), salt = str_bytes("salt");
    Bytes k(45, 0xEE);
    derive_key(pwd.data(), 8, salt.data(), 4, 0, k.data(), 45);
    EXPECT_EQ(k, Bytes(45, 0));
    Bytes untouched(4, 0xEE);
    derive_key(pwd.data(), 8, salt.data(), 4, 10, untouched.data(), 0);
    EXPECT_EQ(untouched, Bytes(4, 0xEE));
}

Bytes draw(prng_entropy_fn fn, const std::vector<unsigned> &sizes) {
    prng_ctx ctx;
    prng_init(fn, &ctx);
    Bytes out;
    for (unsigned n : sizes) {
        Bytes part(n);
        prng_rand(part.data(), n, &ctx);
        out.insert(out.end(), part.begin(), part.end());
    }
    prng_end(&ctx);
    return out;
}

unsigned char g_constant_byte;
// The same constant as entropy_fun, but one byte per call: the refill loop must keep asking.
int one_byte_at_a_time(unsigned char *buf, unsigned int len) {
    if (len == 0) return 0;
    buf[0] = g_constant_byte;
    return 1;
}

int other_constant(unsigned char *buf, unsigned int len) {
    std::memset(buf, 0x01, len);
    return static_cast<int>(len);
}

TEST(Generator, EntropyFunWritesOneConstantIntoAtMostEightBytes) {
    unsigned char buf[16];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(entropy_fun(buf, 0), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(entropy_fun(buf, 3), 3);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[0], buf[1]);
    EXPECT_EQ(buf[1], buf[2]);
    const unsigned char value = buf[0];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(entropy_fun(buf, 260), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], value);
    EXPECT_EQ(buf[8], 0);
}

TEST(Generator, TwoGeneratorsOnTheConstantSourceAgreeAndPiecesEqualOneDraw) {
    const Bytes once = draw(entropy_fun, {1000});
    EXPECT_EQ(draw(entropy_fun, {1000}), once);
    EXPECT_EQ(Bytes(once.begin(), once.begin() + 12), draw(entropy_fun, {5, 7}));
    EXPECT_EQ(once, draw(entropy_fun, {259, 1, 0, 260, 3, 477}));
    EXPECT_EQ(once, draw(entropy_fun, {520, 480}));
    EXPECT_NE(Bytes(once.begin(), once.begin() + 260), Bytes(once.begin() + 260, once.begin() + 520));
}

TEST(Generator, RefillLoopAsksUntilThePoolIsFullWhateverTheSourceReturns) {
    unsigned char probe[1];
    entropy_fun(probe, 1);
    g_constant_byte = probe[0];
    EXPECT_EQ(draw(one_byte_at_a_time, {700}), draw(entropy_fun, {700}));
    EXPECT_NE(draw(other_constant, {64}), draw(entropy_fun, {64}));
}

TEST(Generator, RequestEndingAtTheBufferEndRefreshesBeforeReturning) {
    prng_ctx ctx;
    prng_init(entropy_fun, &ctx);
    EXPECT_EQ(ctx.pos, 0u);
    Bytes first(260);
    const Bytes before(ctx.obuf, ctx.obuf + 260);
    prng_rand(first.data(), 260, &ctx);
    EXPECT_EQ(first, before);
    EXPECT_EQ(ctx.pos, 0u);
    const Bytes after(ctx.obuf, ctx.obuf + 260);
    EXPECT_NE(after, before);
    Bytes next(10);
    prng_rand(next.data(), 10, &ctx);
    EXPECT_EQ(next, Bytes(after.begin(), after.begin() + 10));
    EXPECT_EQ(ctx.pos, 10u);
    prng_end(&ctx);
}

TEST(Generator, EndOverwritesTheWholeContextWithZeros) {
    prng_ctx ctx;
    prng_init(entropy_fun, &ctx);
    unsigned char b[3];
    prng_rand(b, 3, &ctx);
    prng_end(&ctx);
    prng_ctx zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

}  // namespace
