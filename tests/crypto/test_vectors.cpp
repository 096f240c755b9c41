// Known-answer vectors, each block citing the document it comes from.

#include <bwvutil/aes.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#include <cstring>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

// FIPS-197, Appendix C.1 to C.3: one plaintext under AES-128, -192 and -256.
struct AesVector {
    const char *key, *plain, *cipher;
};
const AesVector kAes[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(AesVectors, Fips197AppendixCEncryptsAndDecryptsWithKeyLengthInBytesOrBits) {
    for (const auto &v : kAes) {
        const Bytes key = unhex(v.key), plain = unhex(v.plain);
        for (unsigned len : {static_cast<unsigned>(key.size()), static_cast<unsigned>(key.size() * 8)}) {
            SCOPED_TRACE(std::string(v.key) + " len " + std::to_string(len));
            aes_ctx enc, dec;
            ASSERT_EQ(aes_set_encrypt_key(key.data(), len, &enc), 1);
            ASSERT_EQ(aes_set_decrypt_key(key.data(), len, &dec), 1);
            EXPECT_EQ(enc.rounds, key.size() / 4 + 6);
            EXPECT_EQ(enc.inf, 17u);
            EXPECT_EQ(dec.inf, 18u);
            unsigned char out[16], back[16];
            ASSERT_EQ(aes_encrypt_block(plain.data(), out, &enc), 1);
            EXPECT_EQ(hex(out, 16), v.cipher);
            ASSERT_EQ(aes_decrypt_block(out, back, &dec), 1);
            EXPECT_EQ(hex(back, 16), v.plain);
        }
    }
}

TEST(AesVectors, BlockOperationsWorkInPlace) {
    const Bytes key = unhex(kAes[2].key);
    aes_ctx enc, dec;
    aes_set_encrypt_key(key.data(), 32, &enc);
    aes_set_decrypt_key(key.data(), 256, &dec);
    Bytes buf = unhex(kAes[2].plain);
    aes_encrypt_block(buf.data(), buf.data(), &enc);
    EXPECT_EQ(hex(buf), kAes[2].cipher);
    aes_decrypt_block(buf.data(), buf.data(), &dec);
    EXPECT_EQ(hex(buf), kAes[2].plain);
}

TEST(AesKeySetup, RefusedLengthsLeaveAContextThatWritesNothing) {
    const Bytes key(64, 0x11);
    for (unsigned len : {0u, 8u, 20u, 64u, 100u, 127u, 129u, 255u, 512u}) {
        SCOPED_TRACE(len);
        aes_ctx ctx;
        EXPECT_EQ(aes_set_encrypt_key(key.data(), len, &ctx), 0);
        EXPECT_EQ(ctx.rounds, 0u);
        EXPECT_EQ(ctx.inf, 16u);
        unsigned char out[16];
        std::memset(out, 0xEE, 16);
        EXPECT_EQ(aes_encrypt_block(key.data(), out, &ctx), 0);
        EXPECT_EQ(aes_decrypt_block(key.data(), out, &ctx), 0);
        EXPECT_EQ(hex(out, 16), std::string(32, 'e'));

        EXPECT_EQ(aes_set_decrypt_key(key.data(), len, &ctx), 0);
        EXPECT_EQ(ctx.rounds, 0u);
        EXPECT_EQ(ctx.inf, 16u);
        EXPECT_EQ(aes_decrypt_block(key.data(), out, &ctx), 0);
        EXPECT_EQ(hex(out, 16), std::string(32, 'e'));
    }
}

TEST(AesKeySetup, RefusedSetUpDropsTheEarlierKey) {
    const Bytes key(32, 0x77);
    aes_ctx ctx;
    ASSERT_EQ(aes_set_encrypt_key(key.data(), 32, &ctx), 1);
    EXPECT_EQ(aes_set_encrypt_key(key.data(), 20, &ctx), 0);
    const aes_ctx zero_words{};
    EXPECT_EQ(std::memcmp(ctx.ks, zero_words.ks, sizeof ctx.ks), 0);
}

TEST(AesKeySetup, ByteAndBitLengthsGiveTheSameSchedule) {
    const Bytes key(32, 0x5A);
    for (unsigned bytes : {16u, 24u, 32u}) {
        // Different leftovers in the two contexts must not tell them apart.
        aes_ctx a, b;
        std::memset(&a, 0x00, sizeof a);
        std::memset(&b, 0xC3, sizeof b);
        aes_set_encrypt_key(key.data(), bytes, &a);
        aes_set_encrypt_key(key.data(), bytes * 8, &b);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << bytes;
        aes_set_decrypt_key(key.data(), bytes, &a);
        aes_set_decrypt_key(key.data(), bytes * 8, &b);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << bytes;
    }
}

TEST(AesKeySetup, EachScheduleServesOnlyItsOwnDirection) {
    const Bytes key(16, 0x42);
    aes_ctx enc, dec;
    aes_set_encrypt_key(key.data(), 16, &enc);
    aes_set_decrypt_key(key.data(), 16, &dec);
    unsigned char in[16] = {1}, out[16] = {0};
    EXPECT_EQ(aes_decrypt_block(in, out, &enc), 0);
    EXPECT_EQ(aes_encrypt_block(in, out, &dec), 0);
    EXPECT_EQ(hex(out, 16), std::string(32, '0'));
}

// FIPS 180-1, Appendix A and B, and the one-million-'a' message of Appendix C.
struct Sha1Vector {
    std::string msg;
    const char *digest;
};

class Sha1Vectors : public PerSha1Engine {};

TEST_P(Sha1Vectors, Fips180_1MessagesHashToThePublishedDigests) {
    const Sha1Vector vectors[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},  // empty message, FIPS 180-2 era check value
    };
    for (const auto &v : vectors) {
        unsigned char d[20];
        sha1(d, reinterpret_cast<const unsigned char *>(v.msg.data()), static_cast<uint32_t>(v.msg.size()));
        EXPECT_EQ(hex(d, 20), v.digest) << v.msg.size();
    }
}

TEST_P(Sha1Vectors, MillionAFedInOddPiecesMatchesTheOneShot) {
    const std::string chunk(997, 'a');
    sha1_ctx ctx;
    sha1_begin(&ctx);
    std::size_t left = 1000000;
    while (left != 0) {
        const std::size_t n = std::min(left, chunk.size());
        sha1_hash(reinterpret_cast<const unsigned char *>(chunk.data()), static_cast<uint32_t>(n), &ctx);
        left -= n;
    }
    EXPECT_EQ(ctx.count[0], 1000000u);
    EXPECT_EQ(ctx.count[1], 0u);
    unsigned char d[20];
    sha1_end(d, &ctx);
    EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1Vectors, CompileReadsTheBlockBufferAsBigEndianWords) {
    // "abc" padded by hand into one block; the single compression must give the digest.
    sha1_ctx ctx;
    sha1_begin(&ctx);
    auto *blk = reinterpret_cast<unsigned char *>(ctx.wbuf);
    std::memset(blk, 0, 64);
    std::memcpy(blk, "abc\x80", 4);
    blk[63] = 24;
    sha1_compile(&ctx);
    EXPECT_EQ(ctx.hash[0], 0xa9993e36u);
    EXPECT_EQ(ctx.hash[4], 0x9cd0d89du);
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1Vectors, ::testing::ValuesIn(sha1_engines()), engine_name);

// RFC 2202, section 3: test cases 1 to 7 for HMAC-SHA1.
struct HmacVector {
    Bytes key, data;
    const char *mac;
};

class HmacVectors : public PerSha1Engine {};

TEST_P(HmacVectors, Rfc2202CasesOneToSeven) {
    Bytes k4;
    for (int i = 1; i <= 25; ++i) k4.push_back(static_cast<unsigned char>(i));
    const HmacVector vectors[] = {
        {Bytes(20, 0x0b), str_bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {str_bytes("Jefe"), str_bytes("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {k4, Bytes(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Bytes(20, 0x0c), str_bytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {Bytes(80, 0xaa), str_bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Bytes(80, 0xaa), str_bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    int n = 0;
    for (const auto &v : vectors) {
        SCOPED_TRACE(++n);
        unsigned char mac[20];
        hmac_sha1(v.key.data(), static_cast<uint32_t>(v.key.size()), v.data.data(),
                  static_cast<uint32_t>(v.data.size()), mac, 20);
        EXPECT_EQ(hex(mac, 20), v.mac);
    }
    // Case 5 also publishes the 96-bit truncation; 10 bytes is what the buffers carry.
    unsigned char mac[20];
    std::memset(mac, 0xEE, sizeof mac);
    hmac_sha1(vectors[4].key.data(), 20, vectors[4].data.data(), 20, mac, 12);
    EXPECT_EQ(hex(mac, 12), "4c1a03424b55e07fe7f27be1");
    std::memset(mac, 0xEE, sizeof mac);
    hmac_sha1(vectors[4].key.data(), 20, vectors[4].data.data(), 20, mac, 10);
    EXPECT_EQ(hex(mac, 12), "4c1a03424b55e07fe7f2eeee");
}

INSTANTIATE_TEST_SUITE_P(Engines, HmacVectors, ::testing::ValuesIn(sha1_engines()), engine_name);

// RFC 6070, section 2 (all cases but the 16,777,216-iteration one, which runs in the
// slow test).
class Pbkdf2Vectors : public PerSha1Engine {};

TEST_P(Pbkdf2Vectors, Rfc6070Cases) {
    struct V {
        std::string pwd, salt;
        unsigned iter;
        const char *dk;
    };
    const V vectors[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const auto &v : vectors) {
        const std::size_t len = std::strlen(v.dk) / 2;
        Bytes dk(len);
        derive_key(reinterpret_cast<const unsigned char *>(v.pwd.data()), static_cast<unsigned>(v.pwd.size()),
                   reinterpret_cast<const unsigned char *>(v.salt.data()), static_cast<unsigned>(v.salt.size()),
                   v.iter, dk.data(), static_cast<unsigned>(len));
        EXPECT_EQ(hex(dk), v.dk) << v.pwd << " " << v.iter;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Pbkdf2Vectors, ::testing::ValuesIn(sha1_engines()), engine_name);

}  // namespace
