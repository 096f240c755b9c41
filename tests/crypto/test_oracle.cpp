// Seeded random inputs against OpenSSL, which serves only as an independent reference:
// every primitive, the buffer format and the stream context, on every engine.

#include <bwvutil/aes.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

Bytes openssl_aes_ecb(const Bytes &key, const Bytes &in, int encrypt) {
    const EVP_CIPHER *c =
        key.size() == 16 ? EVP_aes_128_ecb() : key.size() == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), nullptr, encrypt);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size());
    int n = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    return out;
}

Bytes openssl_hmac(const Bytes &key, const Bytes &data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), mac, &n);
    return Bytes(mac, mac + n);
}

Bytes openssl_pbkdf2(const Bytes &pwd, const Bytes &salt, unsigned iter, std::size_t len) {
    Bytes dk(len);
    PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char *>(pwd.data()), static_cast<int>(pwd.size()), salt.data(),
                           static_cast<int>(salt.size()), static_cast<int>(iter), static_cast<int>(len), dk.data());
    return dk;
}

// The buffer format as a reader outside this library would write it: key, code key and
// verifier by PBKDF2 (1000 iterations), AES on a 64-bit little-endian counter from 1,
// HMAC-SHA1 of the cipher text cut to 10 bytes.
Bytes reference_seal(const std::string &pwd, const Bytes &salt, const Bytes &plain) {
    const long klen = static_cast<long>(2 * salt.size());  // 16, 24 or 32 bytes
    const Bytes dk = openssl_pbkdf2(Bytes(pwd.begin(), pwd.end()), salt, 1000, static_cast<std::size_t>(2 * klen + 2));
    Bytes counters(plain.size() / 16 * 16 + 16, 0), body(plain.size());
    for (std::size_t i = 0; i < counters.size(); ++i)
        if (i % 16 < 8) counters[i] = static_cast<unsigned char>((i / 16 + 1) >> (8 * (i % 16)));
    const Bytes ks = openssl_aes_ecb(Bytes(dk.begin(), dk.begin() + klen), counters, 1);
    for (std::size_t i = 0; i < plain.size(); ++i) body[i] = plain[i] ^ ks[i];
    const Bytes mac = openssl_hmac(Bytes(dk.begin() + klen, dk.end() - 2), body);
    Bytes out = salt;
    out.insert(out.end(), dk.end() - 2, dk.end());
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), mac.begin(), mac.begin() + 10);
    return out;
}

// Feeds b in random pieces, some of them empty.
template <typename Feed>
void in_pieces(std::mt19937_64 &rng, Bytes &b, Feed feed) {
    const auto cuts = random_cuts(rng, b.size());
    for (std::size_t i = 1; i < cuts.size(); ++i)
        feed(b.data() + cuts[i - 1], static_cast<uint32_t>(cuts[i] - cuts[i - 1]));
}

void one_round(std::mt19937_64 &rng, int round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // AES: random key and blocks, both directions.
    const Bytes key = random_bytes(rng, 16 + 8 * uniform(rng, 0, 2));
    const Bytes blocks = random_bytes(rng, 16 * uniform(rng, 1, 4));
    aes_ctx enc, dec;
    aes_set_encrypt_key(key.data(), static_cast<unsigned>(key.size()), &enc);
    aes_set_decrypt_key(key.data(), static_cast<unsigned>(key.size()), &dec);
    Bytes c(blocks.size()), p(blocks.size());
    for (std::size_t b = 0; b < blocks.size(); b += 16) {
        aes_encrypt_block(blocks.data() + b, c.data() + b, &enc);
        aes_decrypt_block(blocks.data() + b, p.data() + b, &dec);
    }
    EXPECT_EQ(c, openssl_aes_ecb(key, blocks, 1));
    EXPECT_EQ(p, openssl_aes_ecb(key, blocks, 0));

    // SHA-1 and HMAC with key and data in random pieces; the first rounds take keys
    // around one block and an empty message.
    Bytes msg = random_bytes(rng, round == 0 ? 0 : uniform(rng, 0, 2000));
    Bytes mkey = random_bytes(rng, round < 4 ? 62 + static_cast<std::size_t>(round) : uniform(rng, 0, 200));
    sha1_ctx sc;
    sha1_begin(&sc);
    in_pieces(rng, msg, [&](unsigned char *d, uint32_t n) { sha1_hash(d, n, &sc); });
    Bytes digest(20), mac(20), theirs(20);
    sha1_end(digest.data(), &sc);
    EVP_Digest(msg.data(), msg.size(), theirs.data(), nullptr, EVP_sha1(), nullptr);
    EXPECT_EQ(digest, theirs);
    hmac_sha1_ctx hc;
    hmac_sha1_begin(&hc);
    in_pieces(rng, mkey, [&](unsigned char *d, uint32_t n) { EXPECT_EQ(hmac_sha1_key(d, n, &hc), 0); });
    in_pieces(rng, msg, [&](unsigned char *d, uint32_t n) { hmac_sha1_data(d, n, &hc); });
    hmac_sha1_end(mac.data(), 20, &hc);
    EXPECT_EQ(mac, openssl_hmac(mkey, msg));

    // PBKDF2; the first round with more iterations than sixteen bits hold.
    const Bytes pwd = random_bytes(rng, uniform(rng, 0, 150)), salt = random_bytes(rng, uniform(rng, 0, 40));
    const auto iter = static_cast<unsigned>(round == 0 ? 65537 : uniform(rng, 1, 300));
    Bytes dk(uniform(rng, 1, 100));
    derive_key(pwd.data(), static_cast<unsigned>(pwd.size()), salt.data(), static_cast<unsigned>(salt.size()), iter,
               dk.data(), static_cast<unsigned>(dk.size()));
    EXPECT_EQ(dk, openssl_pbkdf2(pwd, salt, iter, dk.size()));

    // The buffer format, with exactly the capacity each direction asks for, then the
    // stream context in random pieces; round 1 runs the counter past its first byte.
    std::string text(uniform(rng, 8, 128), '\0');
    for (auto &ch : text) ch = static_cast<char>(uniform(rng, 1, 255));
    const Bytes plain = random_bytes(rng, round == 0 ? 0 : round == 1 ? 5000 : uniform(rng, 0, 600));
    Bytes sealed(plain.size() + 28), opened(sealed.size() + 20, 0xEE);
    int slen = static_cast<int>(sealed.size()), olen;
    ASSERT_EQ(encrypt_buffer(plain.data(), static_cast<int>(plain.size()), sealed.data(), &slen, text.c_str()), 0);
    sealed.resize(static_cast<std::size_t>(slen));
    const std::size_t salt_len = sealed.size() - plain.size() - 12;
    EXPECT_EQ(salt_len, text.size() < 32 ? 8u : text.size() < 48 ? 12u : 16u);
    const Bytes head(sealed.begin(), sealed.begin() + static_cast<long>(salt_len));
    ASSERT_EQ(hex(sealed), hex(reference_seal(text, head, plain)));
    olen = slen + 20;
    ASSERT_EQ(decrypt_buffer(sealed.data(), slen, opened.data(), &olen, text.c_str()), 0);
    EXPECT_EQ(Bytes(opened.begin(), opened.begin() + olen), plain);
    // An altered byte fails the code, and an altered cipher text still comes out altered.
    const std::size_t at = plain.empty() ? sealed.size() - 1 : salt_len + 2;
    sealed[at] ^= 0x40;
    olen = slen + 20;
    EXPECT_EQ(decrypt_buffer(sealed.data(), slen, opened.data(), &olen, text.c_str()), FCRYPT_ERR_AUTH);
    EXPECT_TRUE(plain.empty() || opened[0] == (plain[0] ^ 0x40));
    sealed[at] ^= 0x40;

    const int mode = static_cast<int>(salt_len / 4 - 1);
    const auto *pw = reinterpret_cast<const unsigned char *>(text.data());
    fcrypt_ctx ecx, dcx;
    unsigned char ver[2], emac[10], dmac[10];
    std::memset(&ecx, 0x00, sizeof ecx);
    std::memset(&dcx, 0xA5, sizeof dcx);
    ASSERT_EQ(fcrypt_init(mode, pw, static_cast<unsigned>(text.size()), head.data(), ver, &ecx), 0);
    ASSERT_EQ(fcrypt_init(mode, pw, static_cast<unsigned>(text.size()), head.data(), ver, &dcx), 0);
    EXPECT_EQ(std::memcmp(&ecx, &dcx, sizeof ecx), 0);  // nothing of the memory before is left
    Bytes body = plain;
    in_pieces(rng, body, [&](unsigned char *d, uint32_t n) { fcrypt_encrypt(d, n, &ecx); });
    EXPECT_EQ(fcrypt_end(emac, &ecx), 10);
    EXPECT_EQ(hex(ver, 2) + hex(body) + hex(emac, 10), hex(sealed).substr(2 * salt_len));
    in_pieces(rng, body, [&](unsigned char *d, uint32_t n) { fcrypt_decrypt(d, n, &dcx); });
    fcrypt_end(dmac, &dcx);
    EXPECT_EQ(body, plain);
    EXPECT_EQ(hex(dmac, 10), hex(emac, 10));
}

TEST(Oracle, SeededRandomInputsMatchOpenSslOnEveryEngine) {
    auto rng = seeded_rng("Oracle");
    on_every_engine([&] {
        for (int round = 0; round < 25; ++round) one_round(rng, round);
    });
}

}  // namespace
