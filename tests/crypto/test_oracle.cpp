// Random inputs checked against OpenSSL, which serves only as an independent reference.

#include <bwvutil/aes.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

Bytes openssl_aes_ecb(const Bytes &key, const Bytes &in, bool encrypt) {
    const EVP_CIPHER *c = key.size() == 16 ? EVP_aes_128_ecb() : key.size() == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size());
    int n = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    return out;
}

TEST(AesOracle, RandomKeysAndBlocksMatchOpenSslInBothDirections) {
    auto rng = seeded_rng("AesOracle");
    for (int round = 0; round < 300; ++round) {
        const std::size_t klen = 16 + 8 * (round % 3);
        const Bytes key = random_bytes(rng, klen), block = random_bytes(rng, 16);
        aes_ctx enc, dec;
        ASSERT_EQ(aes_set_encrypt_key(key.data(), static_cast<unsigned>(round % 2 ? klen : klen * 8), &enc), 1);
        ASSERT_EQ(aes_set_decrypt_key(key.data(), static_cast<unsigned>(klen), &dec), 1);
        Bytes ours(16), back(16);
        aes_encrypt_block(block.data(), ours.data(), &enc);
        ASSERT_EQ(ours, openssl_aes_ecb(key, block, true)) << "round " << round;
        aes_decrypt_block(block.data(), back.data(), &dec);
        ASSERT_EQ(back, openssl_aes_ecb(key, block, false)) << "round " << round;
    }
}

class Sha1Oracle : public PerSha1Engine {};

TEST_P(Sha1Oracle, RandomMessagesInRandomPiecesMatchOpenSsl) {
    auto rng = seeded_rng("Sha1Oracle");
    for (int round = 0; round < 200; ++round) {
        const Bytes msg = random_bytes(rng, uniform(rng, 0, 2000));
        sha1_ctx ctx;
        sha1_begin(&ctx);
        const auto cuts = random_cuts(rng, msg.size());
        for (std::size_t i = 1; i < cuts.size(); ++i)
            sha1_hash(msg.data() + cuts[i - 1], static_cast<uint32_t>(cuts[i] - cuts[i - 1]), &ctx);
        unsigned char ours[20], theirs[20];
        sha1_end(ours, &ctx);
        SHA1(msg.data(), msg.size(), theirs);
        ASSERT_EQ(hex(ours, 20), hex(theirs, 20)) << "round " << round << " length " << msg.size();
    }
}

TEST_P(Sha1Oracle, HmacWithKeysAndDataInPiecesMatchesOpenSsl) {
    auto rng = seeded_rng("HmacOracle");
    for (int round = 0; round < 300; ++round) {
        const Bytes key = random_bytes(rng, uniform(rng, 0, 200));
        const Bytes msg = random_bytes(rng, uniform(rng, 0, 600));
        hmac_sha1_ctx ctx;
        hmac_sha1_begin(&ctx);
        // Key pieces are short enough that many splits straddle the 64-byte boundary.
        for (std::size_t pos = 0; pos < key.size();) {
            const std::size_t n = std::min(key.size() - pos, uniform(rng, 0, 70));
            ASSERT_EQ(hmac_sha1_key(key.data() + pos, static_cast<uint32_t>(n), &ctx), 0);
            pos += n;
        }
        const auto cuts = random_cuts(rng, msg.size());
        for (std::size_t i = 1; i < cuts.size(); ++i)
            hmac_sha1_data(msg.data() + cuts[i - 1], static_cast<uint32_t>(cuts[i] - cuts[i - 1]), &ctx);
        unsigned char ours[20], theirs[EVP_MAX_MD_SIZE];
        unsigned int tlen = 0;
        hmac_sha1_end(ours, 20, &ctx);
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), theirs, &tlen);
        ASSERT_EQ(hex(ours, 20), hex(theirs, tlen)) << "round " << round << " key " << key.size();
    }
}

TEST_P(Sha1Oracle, Pbkdf2WithRandomParametersMatchesOpenSsl) {
    auto rng = seeded_rng("Pbkdf2Oracle");
    for (int round = 0; round < 60; ++round) {
        const Bytes pwd = random_bytes(rng, uniform(rng, 0, 150));
        const Bytes salt = random_bytes(rng, uniform(rng, 0, 40));
        const unsigned iter = static_cast<unsigned>(uniform(rng, 1, 300));
        const std::size_t len = uniform(rng, 1, 100);
        Bytes ours(len), theirs(len);
        derive_key(pwd.data(), static_cast<unsigned>(pwd.size()), salt.data(), static_cast<unsigned>(salt.size()), iter,
                   ours.data(), static_cast<unsigned>(len));
        PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char *>(pwd.data()), static_cast<int>(pwd.size()), salt.data(),
                               static_cast<int>(salt.size()), static_cast<int>(iter), static_cast<int>(len), theirs.data());
        ASSERT_EQ(hex(ours), hex(theirs)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1Oracle, ::testing::ValuesIn(sha1_engines()), engine_name);

}  // namespace
