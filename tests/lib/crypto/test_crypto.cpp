// The crypto library in one program. Known answers from vectors/*.txt (each with its
// source) and seeded random inputs against OpenSSL, which serves only as an independent
// reference (the library never links it), on every engine; the generator; every refusal
// as one table; files, hex text and configuration strings, built on the buffer format.

#include <bwvutil/aes.h>
#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/hmac.h>
#include <bwvutil/prng.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>

#include "lib/crypto/aes_impl.hpp"
#include "lib/crypto/sha1_impl.hpp"
#include "support/bwvtest.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
using Rng = std::mt19937_64;

inline std::size_t uniform(Rng &rng, std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

inline Bytes random_bytes(Rng &rng, std::size_t n) {
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

// Runs body once for every pairing of the AES and SHA-1 engines this machine has, each
// pinned process-wide, so the table code and the portable hash are checked even where
// the processor's instructions would be chosen.
template <typename Body>
void on_every_engine(Body body) {
    using namespace bwv::crypto;
    for (const AesEngine *a : {&kAesPortable, aes_native_engine()})
        for (const Sha1Engine *s : {&kSha1Portable, sha1_bmi2_engine(), sha1_native_engine()}) {
            if (a == nullptr || s == nullptr) continue;
            SCOPED_TRACE(std::string(a->name) + " + " + s->name);
            aes_pin_engine(a);
            sha1_pin_engine(s);
            body();
        }
    aes_pin_engine(nullptr);
    sha1_pin_engine(nullptr);
}

void check(const std::string &kind, const std::vector<Bytes> &f) {
    // A short HMAC code is a prefix, and nothing past it is written.
    Bytes want = f.back(), out(kind == "hmac" ? 20 : want.size(), 0xEE);
    want.resize(out.size(), 0xEE);
    const auto size = [&](int i) { return static_cast<unsigned>(f[i].size()); };
    if (kind == "aes") {
        // The key length in bits and in place, where the oracle gives bytes and another
        // buffer, and decrypts random blocks on every engine.
        aes_ctx enc;
        ASSERT_EQ(aes_set_encrypt_key(f[0].data(), 8 * size(0), &enc), 1);
        out = f[1];
        for (std::size_t b = 0; b < out.size(); b += 16) ASSERT_EQ(aes_encrypt_block(&out[b], &out[b], &enc), 1);
    } else if (kind == "sha1") {
        sha1(out.data(), f[0].data(), size(0));
    } else if (kind == "hmac") {
        hmac_sha1(f[0].data(), size(0), f[1].data(), size(1), out.data(), static_cast<uint32_t>(f.back().size()));
    } else if (kind == "pbkdf2") {
        const auto iter = static_cast<unsigned>(std::stoul(std::string(f[2].begin(), f[2].end())));
        derive_key(f[0].data(), size(0), f[1].data(), size(1), iter, out.data(), size(3));
    }  // an unknown kind leaves out as it was, which no vector expects
    EXPECT_EQ(out, want);
}

// Each line of vectors/<name>.txt is a kind, then fields in hex or "text"; a field "*N"
// repeats the one before N times. Answers how many lines were checked.
int check_vectors(const std::string &name) {
    std::ifstream file(std::string(BWV_CRYPTO_VECTORS) + "/" + name + ".txt");
    int checked = 0;
    for (std::string line, kind, tok; std::getline(file, line);) {
        std::istringstream in(line);
        if (line[0] == '#' || !(in >> kind)) continue;
        SCOPED_TRACE(name + ": " + line.substr(0, 80));
        std::vector<Bytes> f;
        while (in >> std::ws && in.peek() != EOF) {
            const bool text = in.peek() == '"';
            in >> std::quoted(tok);
            if (text) {
                f.emplace_back(tok.begin(), tok.end());
            } else if (tok[0] == '*') {
                const Bytes one = f.back();
                for (auto n = std::stoul(tok.substr(1)); n > 1; --n)
                    f.back().insert(f.back().end(), one.begin(), one.end());
            } else {
                f.emplace_back();
                for (std::size_t i = 0; i + 1 < tok.size(); i += 2)
                    f.back().push_back(static_cast<unsigned char>(std::stoul(tok.substr(i, 2), nullptr, 16)));
            }
        }
        check(kind, f);
        ++checked;
    }
    return checked;
}

TEST(KnownAnswers, EveryPublishedVectorOnEveryEngine) {
    on_every_engine([] {
        EXPECT_EQ(check_vectors("aes") + check_vectors("sha1") + check_vectors("hmac") + check_vectors("pbkdf2"), 26);
    });
}

Bytes draw(prng_entropy_fn fn, std::initializer_list<unsigned> sizes) {
    prng_ctx ctx;
    prng_init(fn, &ctx);
    Bytes out;
    for (unsigned n : sizes) {
        out.resize(out.size() + n);
        prng_rand(out.data() + out.size() - n, n, &ctx);
    }
    return out;
}

unsigned char g_constant;

TEST(Generator, OneSequenceHoweverDrawnOrFedAndRefreshedWhenUsedUp) {
    entropy_fun(&g_constant, 1);
    const Bytes once = draw(entropy_fun, {1000});
    EXPECT_EQ(draw(entropy_fun, {259, 1, 0, 260, 3, 477}), once);
    EXPECT_NE(Bytes(once.begin(), once.begin() + 260), Bytes(once.begin() + 260, once.begin() + 520));
    // The same constant one byte per call, so the refill must keep asking; then another one.
    const auto one_by_one = [](unsigned char *b, unsigned n) { return n == 0 ? 0 : (*b = g_constant, 1); };
    EXPECT_EQ(draw(one_by_one, {700}), Bytes(once.begin(), once.begin() + 700));
    const auto other = [](unsigned char *b, unsigned n) { return std::memset(b, 1, n), static_cast<int>(n); };
    EXPECT_NE(draw(other, {64}), Bytes(once.begin(), once.begin() + 64));
}

Bytes openssl_aes_ecb(const Bytes &key, const Bytes &in, int encrypt) {
    const EVP_CIPHER *c = EVP_get_cipherbyname(("AES-" + std::to_string(8 * key.size()) + "-ECB").c_str());
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), nullptr, encrypt);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size());
    int n = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    return out;
}

Bytes openssl_hmac(const Bytes &key, const Bytes &data) {
    Bytes mac(20);
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), mac.data(), nullptr);
    return mac;
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
    Bytes counters(plain.size() / 16 * 16 + 16, 0), out = salt;
    for (std::size_t i = 0; i < counters.size(); ++i)
        if (i % 16 < 8) counters[i] = static_cast<unsigned char>((i / 16 + 1) >> (8 * (i % 16)));
    const Bytes ks = openssl_aes_ecb(Bytes(dk.begin(), dk.begin() + klen), counters, 1);
    out.insert(out.end(), dk.end() - 2, dk.end());
    for (std::size_t i = 0; i < plain.size(); ++i) out.push_back(plain[i] ^ ks[i]);
    const Bytes mac = openssl_hmac(Bytes(dk.begin() + klen, dk.end() - 2), Bytes(out.end() - plain.size(), out.end()));
    out.insert(out.end(), mac.begin(), mac.begin() + 10);
    return out;
}

const char *const kPw = "8charpwd";
const std::string kLong(5000, 'L'), kLong129(129, 'L');  // the first far past the 1024 characters ever read

// In exactly the room encrypt_buffer asks for, whatever the salt.
Bytes seal(const Bytes &plain, const char *pwd = kPw) {
    Bytes out(plain.size() + 28);
    int n = static_cast<int>(out.size());
    EXPECT_EQ(encrypt_buffer(plain.data(), static_cast<int>(plain.size()), out.data(), &n, pwd), 0);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Feeds b in random pieces, some of them empty.
template <typename Feed>
void in_pieces(Rng &rng, Bytes &b, Feed feed) {
    for (std::size_t at = 0, n = 0; at < b.size(); at += n) {
        n = uniform(rng, 0, std::min<std::size_t>(b.size() - at, 150));
        feed(b.data() + at, static_cast<uint32_t>(n));
    }
}

void one_round(Rng &rng, int round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // AES: random key and blocks, both directions; decryption in place, the key length
    // in bits one round in two.
    const Bytes key = random_bytes(rng, 16 + 8 * uniform(rng, 0, 2));
    const Bytes blocks = random_bytes(rng, 16 * uniform(rng, 1, 4));
    aes_ctx enc, dec;
    aes_set_encrypt_key(key.data(), static_cast<unsigned>(key.size()), &enc);
    aes_set_decrypt_key(key.data(), static_cast<unsigned>(key.size()) << (round % 2 * 3), &dec);
    Bytes c(blocks.size()), p = blocks;
    for (std::size_t b = 0; b < blocks.size(); b += 16) {
        aes_encrypt_block(blocks.data() + b, c.data() + b, &enc);
        aes_decrypt_block(p.data() + b, p.data() + b, &dec);
    }
    EXPECT_EQ(c, openssl_aes_ecb(key, blocks, 1));
    EXPECT_EQ(p, openssl_aes_ecb(key, blocks, 0));

    // HMAC with key and data in random pieces, which SHA-1 hashes in the same pieces (a key
    // past one block from its first byte, the data after a whole block); the first rounds
    // take keys around one block and an empty message.
    Bytes msg = random_bytes(rng, round == 0 ? 0 : uniform(rng, 0, 2000));
    Bytes mkey = random_bytes(rng, round < 4 ? 62 + static_cast<std::size_t>(round) : uniform(rng, 0, 200));
    Bytes mac(20);
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
    std::string text(uniform(rng, 8, 128), '\0');  // no NUL, as a C string
    for (auto &ch : text) ch = static_cast<char>(uniform(rng, 1, 255));
    const Bytes plain = random_bytes(rng, round == 0 ? 0 : round == 1 ? 5000 : uniform(rng, 0, 600));
    Bytes sealed = seal(plain, text.c_str()), opened(sealed.size() + 20, 0xEE);
    int slen = static_cast<int>(sealed.size()), olen;
    const std::size_t salt_len = sealed.size() - plain.size() - 12;
    EXPECT_EQ(salt_len, text.size() < 32 ? 8u : text.size() < 48 ? 12u : 16u);
    const Bytes head(sealed.begin(), sealed.begin() + static_cast<long>(salt_len));
    ASSERT_EQ(sealed, reference_seal(text, head, plain));
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
    ASSERT_EQ(fcrypt_init(mode, pw, static_cast<unsigned>(text.size()), head.data(), ver, &ecx), 0);
    ASSERT_EQ(fcrypt_init(mode, pw, static_cast<unsigned>(text.size()), head.data(), ver, &dcx), 0);
    Bytes body = plain;
    in_pieces(rng, body, [&](unsigned char *d, uint32_t n) { fcrypt_encrypt(d, n, &ecx); });
    EXPECT_EQ(fcrypt_end(emac, &ecx), 10);
    EXPECT_EQ(body, Bytes(sealed.begin() + static_cast<long>(salt_len) + 2, sealed.end() - 10));
    EXPECT_EQ(std::memcmp(ver, &sealed[salt_len], 2) + std::memcmp(emac, &sealed[sealed.size() - 10], 10), 0);
    in_pieces(rng, body, [&](unsigned char *d, uint32_t n) { fcrypt_decrypt(d, n, &dcx); });
    fcrypt_end(dmac, &dcx);
    EXPECT_EQ(body, plain);
    EXPECT_EQ(std::memcmp(dmac, emac, 10), 0);
}

TEST(Oracle, SeededRandomInputsMatchOpenSslOnEveryEngine) {
    Rng rng(0xB1D1E5EEDull);  // fixed, so a failure replays as it happened
    on_every_engine([&] {
        for (int round = 0; round < 25; ++round) one_round(rng, round);
    });
}

// What a refused call must leave alone starts as a known pattern and is compared after.
struct Scratch {
    unsigned char in[64] = {}, out[64];
    int len;
    fcrypt_ctx cx;
    aes_ctx aes, other;
    // The first n bytes of a sealed 5-byte message (25 bytes).
    int open(std::size_t n, const char *pwd = kPw, bool to_out = true) {
        static const Bytes sealed = seal(Bytes(5, 'p'));
        const Bytes b(sealed.begin(), sealed.begin() + static_cast<long>(n));
        return decrypt_buffer(b.data(), static_cast<int>(n), to_out ? out : nullptr, &len, pwd);
    }
    // Each refused set-up also drops the key set before it; blocks go only the way the
    // schedule was made for.
    int aes_refusals() {
        int r = 0;
        for (unsigned n : {0u, 8u, 20u, 64u, 100u, 127u, 129u, 255u, 512u}) {
            aes_set_encrypt_key(in, 32, &aes);
            aes_set_decrypt_key(in, 32, &other);
            r += aes_set_encrypt_key(in, n, &aes) + aes_set_decrypt_key(in, n, &other);
            r += aes_encrypt_block(in, out, &aes) + aes_decrypt_block(in, out, &other);
        }
        aes_set_encrypt_key(in, 16, &aes);
        aes_set_decrypt_key(in, 16, &other);
        return r + aes_decrypt_block(in, out, &aes) + aes_encrypt_block(in, out, &other);
    }
    // -1, and the context as it was.
    int hmac_key_after_data() {
        hmac_sha1_ctx h;
        hmac_sha1_begin(&h);
        hmac_sha1_data(in, 4, &h);
        const hmac_sha1_ctx before = h;
        return hmac_sha1_key(in, 3, &h) - std::memcmp(&h, &before, sizeof h);
    }
};

#define BWV_REFUSAL(len, rc, call)                       \
    {                                                    \
#call, len, rc, [](Scratch & s) { return call; } \
    }

TEST(Refusals, EachComesWithItsCodeAndLeavesOutputLengthAndContextAlone) {
    const struct {
        const char *call;
        int len, rc;
        int (*fn)(Scratch &);
    } rows[] = {
        BWV_REFUSAL(0, 0, s.aes_refusals()),
        BWV_REFUSAL(0, -1, s.hmac_key_after_data()),
        BWV_REFUSAL(0, 0, (derive_key(s.in, 8, s.in, 4, 10, s.out, 0), 0)),
        // fcrypt_init: password length first, then mode, then pointers.
        BWV_REFUSAL(0, FCRYPT_ERR_LONG_PWD, fcrypt_init(9, s.in, 129, s.in, s.out, &s.cx)),
        BWV_REFUSAL(0, FCRYPT_ERR_MODE, fcrypt_init(0, s.in, 8, s.in, s.out, &s.cx)),
        BWV_REFUSAL(0, FCRYPT_ERR_MODE, fcrypt_init(4, s.in, 8, s.in, s.out, &s.cx)),
        BWV_REFUSAL(0, FCRYPT_ERR_ARG, fcrypt_init(1, s.in, 8, nullptr, s.out, &s.cx)),
        // Buffers: arguments, then password, room, layout and verifier, in that order.
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, s.out, &s.len, nullptr)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, s.out, nullptr, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, encrypt_buffer(nullptr, 1, s.out, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, nullptr, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, -5, s.out, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, decrypt_buffer(nullptr, 30, s.out, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, s.open(25, kPw, false)),
        BWV_REFUSAL(0, FCRYPT_ERR_SHORT_PWD, encrypt_buffer(s.in, 10, nullptr, nullptr, "1234567")),
        BWV_REFUSAL(64, FCRYPT_ERR_LONG_PWD, encrypt_buffer(s.in, 3, s.out, &s.len, kLong129.c_str())),
        BWV_REFUSAL(64, FCRYPT_ERR_LONG_PWD, decrypt_buffer(s.in, 40, s.out, &s.len, kLong129.c_str())),
        BWV_REFUSAL(0, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, nullptr, &s.len, kPw)),
        BWV_REFUSAL(37, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, s.out, &s.len, kPw)),
        BWV_REFUSAL(-1, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, s.out, &s.len, kPw)),
        BWV_REFUSAL(44, FCRYPT_ERR_SPACE, s.open(25)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, s.open(9)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, s.open(19)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, decrypt_buffer(s.in, -5, s.out, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_PASSWORD, decrypt_buffer(s.in, 30, nullptr, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_PASSWORD, s.open(25, "8charpwX")),
        BWV_REFUSAL(64, FCRYPT_ERR_PASSWORD, s.open(10, "8charpwX")),  // salt and verifier only
        // Hex text: room and sign are checked before any digit.
        BWV_REFUSAL(6, FCRYPT_ERR_SPACE, bin2hex(s.in, 3, reinterpret_cast<char *>(s.out), &s.len)),
        BWV_REFUSAL(4, FCRYPT_ERR_ARG, bin2hex(s.in, -1, reinterpret_cast<char *>(s.out), &s.len)),
        BWV_REFUSAL(4, FCRYPT_ERR_SPACE, hex2bin("abc", 3, s.out, &s.len)),
        BWV_REFUSAL(4, FCRYPT_ERR_SPACE, hex2bin("abc", -3, s.out, &s.len)),
        BWV_REFUSAL(4, FCRYPT_ERR_ARG, hex2bin("abcd", -4, s.out, &s.len)),
        BWV_REFUSAL(1, FCRYPT_ERR_SPACE, hex2bin("abcd", 4, s.out, &s.len)),
    };
    for (const auto &r : rows) {
        Scratch s;
        std::memset(s.out, 0xEE, sizeof s.out);
        std::memset(&s.cx, 0x5A, sizeof s.cx);
        s.len = r.len;
        EXPECT_EQ(r.fn(s), r.rc) << r.call;
        EXPECT_EQ(s.len, r.len) << r.call;
        const auto *cx = reinterpret_cast<const unsigned char *>(&s.cx);
        EXPECT_EQ(std::count(s.out, std::end(s.out), 0xEE) + std::count(cx, cx + sizeof s.cx, 0x5A),
                  static_cast<long>(sizeof s.out + sizeof s.cx))
            << r.call;
    }
}

// The descriptor other than skip that this process holds open on path, or -1.
int own_descriptor_on(const std::string &path, int skip) {
    struct stat want, st;
    for (int fd = 3; stat(path.c_str(), &want) == 0 && fd < 1024; ++fd)
        if (fd != skip && fstat(fd, &st) == 0 && st.st_ino == want.st_ino && st.st_dev == want.st_dev) return fd;
    return -1;
}

TEST(EncryptFile, WritesTheBufferLayoutOfTheWholeFileOnADescriptorNoChildInherits) {
    const bwv::test::TempDir dir("bwv-fcrypt");
    const Bytes plain(200000, 'f');
    const std::string in = dir.write("in", std::string(plain.begin(), plain.end())), out = dir / "out";
    // A pipe holds less than the output, so the writer stays blocked with its file open
    // until the flags have been looked at.
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    auto rc = std::async(std::launch::async, [&] { return encrypt_file(in.c_str(), out.c_str(), "file password"); });
    const auto done = [&] { return rc.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    // Opened without waiting for a writer, so a run that fails first cannot hang the test.
    const int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int writer = -1;
    while (writer < 0 && !done()) writer = own_descriptor_on(out, reader);
    ASSERT_GE(writer, 0);
    EXPECT_NE(fcntl(writer, F_GETFD) & FD_CLOEXEC, 0) << "a child forked now would inherit it";
    const std::string sealed = bwv::test::read_file(out);
    close(reader);
    ASSERT_EQ(rc.get(), 0);
    EXPECT_EQ(Bytes(sealed.begin(), sealed.end()), seal(plain, "file password"));
}

TEST(EncryptFile, FailuresLeaveNoOutputOrAnEmptyOne) {
    const bwv::test::TempDir dir("bwv-fcrypt");
    const std::string out = dir / "out";
    const std::string in = dir.write("in", "dddd");
    EXPECT_EQ(encrypt_file((dir / "nope").c_str(), out.c_str(), kPw), FCRYPT_ERR_OPEN_INPUT);
    EXPECT_EQ(encrypt_file(dir.path().c_str(), out.c_str(), kPw), FCRYPT_ERR_READ_INPUT);
    EXPECT_EQ(encrypt_file("/sys/kernel/uevent_seqnum", out.c_str(), kPw), FCRYPT_ERR_READ_INPUT)
        << "shorter than its size";
    EXPECT_EQ(encrypt_file(nullptr, out.c_str(), kPw), FCRYPT_ERR_ARG);
    EXPECT_FALSE(dir.exists("out"));
    EXPECT_EQ(encrypt_file(in.c_str(), (dir / "no/such/dir").c_str(), kPw), FCRYPT_ERR_CREATE_OUTPUT);
    EXPECT_EQ(encrypt_file(in.c_str(), "/dev/full", kPw), FCRYPT_ERR_WRITE_OUTPUT)
        << "the bytes fail only as the file closes";
    for (auto [pwd, rc] : {std::pair{"short", FCRYPT_ERR_SHORT_PWD}, {kLong.c_str(), FCRYPT_ERR_LONG_PWD}}) {
        dir.write("out", "an older file");
        EXPECT_EQ(encrypt_file(in.c_str(), out.c_str(), pwd), rc);
        EXPECT_EQ(std::filesystem::file_size(out), 0u);
    }
    ASSERT_EQ(encrypt_file(dir.write("in", "").c_str(), out.c_str(), kPw), 0);
    EXPECT_EQ(std::filesystem::file_size(out), 20u);
}

// The answer as text, its copy freed; "<NULL>" for none.
std::string call(char *(*fn)(const char *), const std::string &s) {
    const std::unique_ptr<char, decltype(&std::free)> p(fn(s.c_str()), &std::free);
    return p ? std::string(p.get()) : std::string("<NULL>");
}
std::string enc(const std::string &s) { return call(enc_enc_str, s); }
std::string dec(const std::string &s) { return call(enc_dec_str, s); }

TEST(EncryptedStrings, ClearValuesComeBackAsCopiesAndUndecryptableOnesAsNull) {
    EXPECT_EQ(enc_enc_str(nullptr), nullptr);
    EXPECT_EQ(enc_dec_str(nullptr), nullptr);
    for (const char *v : {"", "plain value", "enc 00112233", "Enc", "Enc0011", "ENC 0011", " Enc 00"})
        EXPECT_EQ(dec(v), v);
    const std::string good = enc("some value");
    std::vector<std::string> bad = {"Enc ", good + "0" /* odd digit count */, good.substr(0, good.size() - 2),
                                    "Enc 00112233445566778899" /* too short for the layout */};
    // A salt, a verifier and a code digit altered.
    for (std::size_t pos : {std::size_t{5}, std::size_t{30}, good.size() - 1}) {
        bad.push_back(good);
        bad.back()[pos] = good[pos] == '0' ? '1' : '0';
    }
    for (const auto &b : bad) EXPECT_EQ(dec(b), "<NULL>") << b;
}

TEST(EncryptedStrings, RoundTripsAreExactInLowerCaseHexAndStoredValuesKeepDecrypting) {
    std::vector<std::string> values = {"", "x", std::string(300, 'q'), ""};
    for (int c = 255; c > 0; --c) values.back() += static_cast<char>(c);
    for (const auto &v : values) {
        const std::string e = enc(v);
        EXPECT_EQ(e.size(), 2 * v.size() + 54);
        EXPECT_EQ(e.find_first_not_of("0123456789abcdef", 4), std::string::npos) << e;
        EXPECT_EQ(dec(e), v);
    }
    // Produced once by this library; configuration files in the field hold values like it,
    // so the generator source, the salt and the passphrase must never drift. Either case.
    std::string stored = "Enc 572713378d3141bf2efadb4697494964191d15af656528495aed7c9d7056b1d2ef01ef0c";
    EXPECT_EQ(enc("BrindleWave"), stored);
    for (auto &c : stored) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(dec(stored.replace(0, 4, "Enc ")), "BrindleWave");
    // Their hex is read pair by pair as strtol reads it: white space, a sign or a stray
    // letter included.
    unsigned char out[8];
    int len = 8;
    EXPECT_EQ(hex2bin("0A0azz7z-1 fFf", 14, out, &len) + len, 7);
    EXPECT_EQ(Bytes(out, out + 7), (Bytes{0x0a, 0x0a, 0x00, 0x07, 0xff, 0x0f, 0xff}));
    EXPECT_EQ(bin2hex(nullptr, 0, nullptr, &len) + len, 0) << "no bytes: empty text, nothing to write";
}

}  // namespace
