// The encrypted buffer format, rebuilt from OpenSSL's PBKDF2, AES and HMAC, and every
// result code of the buffer, hex and file functions.

#include <bwvutil/fcrypt.h>
#include <bwvutil/prng.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

struct Layout {
    int mode, key_len, salt_len;
};

Layout layout_for(std::size_t pwd_len) {
    const int mode = pwd_len < 32 ? 1 : pwd_len < 48 ? 2 : 3;
    return {mode, 8 * mode + 8, 4 * mode + 4};
}

// The format as a reader outside this library would write it: PBKDF2-HMAC-SHA1 with
// 1000 iterations, AES on a 64-bit little-endian counter starting at 1, HMAC-SHA1 of
// the cipher text cut to 10 bytes.
Bytes reference_encrypt(const std::string &pwd, const Bytes &salt, const Bytes &plain) {
    const Layout l = layout_for(pwd.size());
    Bytes dk(2 * l.key_len + 2);
    PKCS5_PBKDF2_HMAC_SHA1(pwd.data(), static_cast<int>(pwd.size()), salt.data(), static_cast<int>(salt.size()), 1000,
                           static_cast<int>(dk.size()), dk.data());
    const EVP_CIPHER *c = l.key_len == 16 ? EVP_aes_128_ecb() : l.key_len == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), c, nullptr, dk.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes cipher = plain;
    for (std::size_t off = 0; off < cipher.size(); off += 16) {
        unsigned char counter[16] = {0}, ks[16];
        std::uint64_t n = off / 16 + 1;
        for (int i = 0; i < 8; ++i) counter[i] = static_cast<unsigned char>(n >> (8 * i));
        int outl = 0;
        EVP_EncryptUpdate(ctx.get(), ks, &outl, counter, 16);
        for (std::size_t i = off; i < std::min(off + 16, cipher.size()); ++i) cipher[i] ^= ks[i - off];
    }
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mlen = 0;
    HMAC(EVP_sha1(), dk.data() + l.key_len, l.key_len, cipher.data(), cipher.size(), mac, &mlen);
    Bytes out = salt;
    out.push_back(dk[2 * l.key_len]);
    out.push_back(dk[2 * l.key_len + 1]);
    out.insert(out.end(), cipher.begin(), cipher.end());
    out.insert(out.end(), mac, mac + 10);
    return out;
}

Bytes generator_salt(int len) {
    prng_ctx ctx;
    prng_init(entropy_fun, &ctx);
    Bytes salt(static_cast<std::size_t>(len));
    prng_rand(salt.data(), static_cast<unsigned>(len), &ctx);
    prng_end(&ctx);
    return salt;
}

int encrypt(const Bytes &in, Bytes &out, int cap, const std::string &pwd) {
    out.assign(static_cast<std::size_t>(std::max(cap, 0)) + 1, 0xEE);
    int len = cap;
    const int rc = encrypt_buffer(in.data(), static_cast<int>(in.size()), out.data(), &len, pwd.c_str());
    if (rc == 0) out.resize(static_cast<std::size_t>(len));
    return rc;
}

int decrypt(const Bytes &in, Bytes &out, int cap, const std::string &pwd, int *len_out = nullptr) {
    out.assign(static_cast<std::size_t>(std::max(cap, 0)) + 1, 0xEE);
    int len = cap;
    const int rc = decrypt_buffer(in.data(), static_cast<int>(in.size()), out.data(), &len, pwd.c_str());
    if (len_out) *len_out = len;
    if (rc == 0 || rc == FCRYPT_ERR_AUTH) out.resize(static_cast<std::size_t>(len));
    return rc;
}

std::string password(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 26);
    return s;
}

TEST(BufferFormat, EncryptionMatchesAnIndependentBuildInAllThreeModes) {
    auto rng = seeded_rng("BufferFormat");
    for (std::size_t plen : {8u, 20u, 31u, 32u, 40u, 47u, 48u, 90u, 128u}) {
        const Layout l = layout_for(plen);
        const std::string pwd = password(plen);
        for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 100u, 4200u}) {
            SCOPED_TRACE("pwd " + std::to_string(plen) + " len " + std::to_string(n));
            const Bytes plain = random_bytes(rng, n);
            Bytes out;
            ASSERT_EQ(encrypt(plain, out, static_cast<int>(n) + 28, pwd), 0);
            ASSERT_EQ(out.size(), n + static_cast<std::size_t>(l.salt_len) + 12);
            const Bytes salt = generator_salt(l.salt_len);
            EXPECT_EQ(Bytes(out.begin(), out.begin() + l.salt_len), salt);
            EXPECT_EQ(hex(out), hex(reference_encrypt(pwd, salt, plain)));
        }
    }
}

TEST(BufferFormat, DecryptionOpensWhatTheIndependentBuildProduces) {
    auto rng = seeded_rng("BufferFormatOpen");
    for (std::size_t plen : {8u, 33u, 64u}) {
        const std::string pwd = password(plen);
        for (std::size_t n : {0u, 7u, 300u, 5000u}) {
            const Layout l = layout_for(plen);
            const Bytes salt = random_bytes(rng, static_cast<std::size_t>(l.salt_len));
            const Bytes plain = random_bytes(rng, n);
            const Bytes sealed = reference_encrypt(pwd, salt, plain);
            Bytes out;
            ASSERT_EQ(decrypt(sealed, out, static_cast<int>(sealed.size()) + 20, pwd), 0) << plen << " " << n;
            EXPECT_EQ(out, plain);
        }
    }
}

TEST(BufferFormat, SameInputAndPasswordGiveIdenticalBytes) {
    const Bytes plain = str_bytes("the same thing twice");
    Bytes a, b;
    ASSERT_EQ(encrypt(plain, a, 60, "password-one"), 0);
    ASSERT_EQ(encrypt(plain, b, 60, "password-one"), 0);
    EXPECT_EQ(a, b);
}

TEST(BufferFormat, EmptyInputGivesSaltVerifierAndTheCodeOfNothing) {
    Bytes out;
    ASSERT_EQ(encrypt({}, out, 28, "12345678"), 0);
    ASSERT_EQ(out.size(), 20u);
    EXPECT_EQ(hex(out), hex(reference_encrypt("12345678", generator_salt(8), {})));
    Bytes back;
    EXPECT_EQ(decrypt(out, back, 40, "12345678"), 0);
    EXPECT_TRUE(back.empty());
}

TEST(BufferCodes, PasswordLengthPicksTheModeAndShortOnesAreRefusedFirst) {
    const Bytes plain(10, 'x');
    Bytes out;
    EXPECT_EQ(encrypt(plain, out, 0, "1234567"), FCRYPT_ERR_SHORT_PWD);  // before the capacity check
    EXPECT_EQ(out, Bytes(1, 0xEE));
    EXPECT_EQ(decrypt(Bytes(40, 1), out, 0, "1234567"), FCRYPT_ERR_SHORT_PWD);
    EXPECT_EQ(encrypt(plain, out, 100, ""), FCRYPT_ERR_SHORT_PWD);
    const std::pair<std::size_t, std::size_t> cases[] = {{8, 8}, {31, 8}, {32, 12}, {47, 12}, {48, 16}, {128, 16}};
    for (auto [plen, salt] : cases) {
        ASSERT_EQ(encrypt(plain, out, 100, password(plen)), 0);
        EXPECT_EQ(out.size(), 10 + salt + 12) << plen;
    }
}

TEST(BufferCodes, EncryptionDemandsTheLargestOverheadInEveryMode) {
    const Bytes plain(10, 'x');
    Bytes out;
    EXPECT_EQ(encrypt(plain, out, 37, "8charpwd"), FCRYPT_ERR_SPACE);
    EXPECT_EQ(out, Bytes(38, 0xEE));
    EXPECT_EQ(encrypt(plain, out, 38, "8charpwd"), 0);
    EXPECT_EQ(out.size(), 30u);
    EXPECT_EQ(encrypt(plain, out, -1, "8charpwd"), FCRYPT_ERR_SPACE);
}

TEST(BufferCodes, DecryptionCapacityIsInputPlusTwenty) {
    Bytes sealed;
    ASSERT_EQ(encrypt(Bytes(20, 'p'), sealed, 48, "8charpwd"), 0);
    ASSERT_EQ(sealed.size(), 40u);
    Bytes out;
    EXPECT_EQ(decrypt(sealed, out, 59, "8charpwd"), FCRYPT_ERR_SPACE);
    EXPECT_EQ(out, Bytes(60, 0xEE));
    EXPECT_EQ(decrypt(sealed, out, 60, "8charpwd"), 0);
    EXPECT_EQ(out, Bytes(20, 'p'));
}

TEST(BufferCodes, TruncatedInputsAreTooShortOrCarryAWrongVerifier) {
    Bytes sealed;
    ASSERT_EQ(encrypt(Bytes(5, 'p'), sealed, 40, "8charpwd"), 0);
    Bytes out;
    // Shorter than the salt.
    EXPECT_EQ(decrypt(Bytes(sealed.begin(), sealed.begin() + 7), out, 100, "8charpwd"), FCRYPT_ERR_SPACE);
    // Salt and one byte: no room for the verifier.
    EXPECT_EQ(decrypt(Bytes(sealed.begin(), sealed.begin() + 9), out, 100, "8charpwd"), FCRYPT_ERR_SPACE);
    // Exactly salt and verifier: the verifier matches, the code is missing.
    EXPECT_EQ(decrypt(Bytes(sealed.begin(), sealed.begin() + 10), out, 100, "8charpwd"), FCRYPT_ERR_SPACE);
    Bytes bad_ver(sealed.begin(), sealed.begin() + 10);
    bad_ver[9] ^= 0x01;
    EXPECT_EQ(decrypt(bad_ver, out, 100, "8charpwd"), FCRYPT_ERR_PASSWORD);
    EXPECT_EQ(out, Bytes(101, 0xEE));
    // Salt, verifier and nine code bytes.
    EXPECT_EQ(decrypt(Bytes(sealed.begin(), sealed.begin() + 19), out, 100, "8charpwd"), FCRYPT_ERR_SPACE);
}

TEST(BufferCodes, WrongPasswordOfTheSameClassIsReportedBeforeAnythingIsWritten) {
    Bytes sealed;
    ASSERT_EQ(encrypt(str_bytes("top secret"), sealed, 50, "password-one"), 0);
    Bytes out;
    int len = -7;
    EXPECT_EQ(decrypt(sealed, out, 60, "password-two", &len), FCRYPT_ERR_PASSWORD);
    EXPECT_EQ(len, 60);
    EXPECT_EQ(out, Bytes(61, 0xEE));
    // Another length class misreads the salt; any refusal will do, success must not happen.
    const int rc = decrypt(sealed, out, 60, password(40));
    EXPECT_TRUE(rc == FCRYPT_ERR_PASSWORD || rc == FCRYPT_ERR_AUTH || rc == FCRYPT_ERR_SPACE) << rc;
}

TEST(BufferCodes, AlteredCipherTextFailsTheCodeAndLeavesItsUnauthenticatedDecryption) {
    const Bytes plain = str_bytes("0123456789abcdef");
    Bytes sealed;
    ASSERT_EQ(encrypt(plain, sealed, 50, "8charpwd"), 0);
    sealed[8 + 2 + 3] ^= 0x40;
    Bytes out;
    EXPECT_EQ(decrypt(sealed, out, 60, "8charpwd"), FCRYPT_ERR_AUTH);
    Bytes expect = plain;
    expect[3] ^= 0x40;
    EXPECT_EQ(out, expect);
    // An altered code byte is caught as well.
    sealed[8 + 2 + 3] ^= 0x40;
    sealed.back() ^= 0x01;
    EXPECT_EQ(decrypt(sealed, out, 60, "8charpwd"), FCRYPT_ERR_AUTH);
}

TEST(BufferCodes, OverlongPasswordFailsInBothDirectionsWithoutTouchingTheOutput) {
    const std::string long_pwd = password(129);
    Bytes out;
    int len = 100;
    out.assign(101, 0xEE);
    EXPECT_EQ(encrypt_buffer(reinterpret_cast<const unsigned char *>("abc"), 3, out.data(), &len, long_pwd.c_str()),
              FCRYPT_ERR_LONG_PWD);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(out, Bytes(101, 0xEE));
    EXPECT_EQ(decrypt(Bytes(60, 0x11), out, 100, long_pwd, &len), FCRYPT_ERR_LONG_PWD);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(out, Bytes(101, 0xEE));
    // Far beyond the 1024 characters ever read, still refused the same way.
    EXPECT_EQ(encrypt(Bytes(3, 'a'), out, 100, password(5000)), FCRYPT_ERR_LONG_PWD);
}

// Each refusal is judged in order: arguments, password, room, layout, verifier. Rows
// leave out whatever a check would never reach; the length must come back untouched.
TEST(BufferCodes, RefusalsComeInTheirOrderAndLeaveTheLengthAlone) {
    using Fn = int (*)(const unsigned char *, int, unsigned char *, int *, const char *);
    const Fn enc = encrypt_buffer, dec = decrypt_buffer;
    constexpr int kNull = -1;  // an in/out offset or length meaning nullptr
    const char *pw = "8charpwd";
    const struct { Fn fn; int in, in_len, out, len; const char *pwd; int rc; } cases[] = {
        {enc, 0, 1, 10, 64, nullptr, FCRYPT_ERR_ARG},  {enc, 0, 1, 10, kNull, pw, FCRYPT_ERR_ARG},
        {enc, kNull, 1, 0, 64, pw, FCRYPT_ERR_ARG},    {enc, 0, 1, kNull, 64, pw, FCRYPT_ERR_ARG},
        {enc, 0, -5, 0, 64, pw, FCRYPT_ERR_ARG},       {dec, kNull, 30, 0, 64, pw, FCRYPT_ERR_ARG},
        {enc, 0, 10, kNull, kNull, "1234567", FCRYPT_ERR_SHORT_PWD},
        {dec, 0, 40, kNull, kNull, "1234567", FCRYPT_ERR_SHORT_PWD},
        // Too little room even without an output buffer, or too short for the layout.
        {enc, 0, 10, kNull, 0, pw, FCRYPT_ERR_SPACE},  {dec, 0, 9, kNull, 100, pw, FCRYPT_ERR_SPACE},
        {dec, 0, -5, 0, 100, pw, FCRYPT_ERR_SPACE},    {dec, 0, 30, kNull, 100, pw, FCRYPT_ERR_PASSWORD},
    };
    for (const auto &c : cases) {
        unsigned char buf[64] = {0};
        int len = c.len;
        EXPECT_EQ(c.fn(c.in == kNull ? nullptr : buf + c.in, c.in_len, c.out == kNull ? nullptr : buf + c.out,
                       c.len == kNull ? nullptr : &len, c.pwd), c.rc) << &c - cases;
        EXPECT_EQ(len, c.len);
    }
    // A decryption that reaches the point of writing needs somewhere to write.
    Bytes sealed;
    ASSERT_EQ(encrypt(Bytes(5, 'p'), sealed, 40, "8charpwd"), 0);
    int len = 64;
    EXPECT_EQ(decrypt_buffer(sealed.data(), static_cast<int>(sealed.size()), nullptr, &len, "8charpwd"),
              FCRYPT_ERR_ARG);
    EXPECT_EQ(len, 64);
}

TEST(StreamContext, PiecesOfAnySizeEqualOneCallInBothDirections) {
    auto rng = seeded_rng("StreamPieces");
    const unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const char *pwd = "stream password";
    // Over 256 blocks, so the counter carries out of its first byte.
    const Bytes plain = random_bytes(rng, 256 * 16 + 77);
    for (int mode = 1; mode <= 3; ++mode) {
        fcrypt_ctx whole, parts;
        unsigned char v1[2], v2[2], m1[10], m2[10];
        ASSERT_EQ(fcrypt_init(mode, reinterpret_cast<const unsigned char *>(pwd), 15, salt, v1, &whole), 0);
        ASSERT_EQ(fcrypt_init(mode, reinterpret_cast<const unsigned char *>(pwd), 15, salt, v2, &parts), 0);
        EXPECT_EQ(whole.ks_pos, 16u);
        EXPECT_EQ(hex(whole.counter, 16), std::string(32, '0'));
        EXPECT_EQ(hex(v1, 2), hex(v2, 2));
        Bytes a = plain, b = plain;
        fcrypt_encrypt(a.data(), static_cast<unsigned>(a.size()), &whole);
        const auto cuts = random_cuts(rng, b.size());
        for (std::size_t i = 1; i < cuts.size(); ++i)
            fcrypt_encrypt(b.data() + cuts[i - 1], static_cast<unsigned>(cuts[i] - cuts[i - 1]), &parts);
        EXPECT_EQ(a, b) << mode;
        EXPECT_EQ(fcrypt_end(m1, &whole), 10);
        EXPECT_EQ(fcrypt_end(m2, &parts), 10);
        EXPECT_EQ(hex(m1, 10), hex(m2, 10));
        EXPECT_EQ(whole.counter[0], (plain.size() + 15) / 16 % 256);
        EXPECT_EQ(whole.counter[1], (plain.size() + 15) / 16 / 256);

        fcrypt_ctx dec;
        fcrypt_init(mode, reinterpret_cast<const unsigned char *>(pwd), 15, salt, v2, &dec);
        for (std::size_t i = 1; i < cuts.size(); ++i)
            fcrypt_decrypt(a.data() + cuts[i - 1], static_cast<unsigned>(cuts[i] - cuts[i - 1]), &dec);
        EXPECT_EQ(a, plain);
        fcrypt_end(m2, &dec);
        EXPECT_EQ(hex(m1, 10), hex(m2, 10));
    }
}

TEST(StreamContext, RefusedSetUpLeavesContextAndVerifierAlone) {
    const unsigned char salt[16] = {0};
    const std::string long_pwd = password(129);
    fcrypt_ctx cx;
    std::memset(&cx, 0x5A, sizeof cx);
    fcrypt_ctx before = cx;
    unsigned char ver[2] = {0xEE, 0xEE};
    EXPECT_EQ(fcrypt_init(1, reinterpret_cast<const unsigned char *>(long_pwd.data()), 129, salt, ver, &cx),
              FCRYPT_ERR_LONG_PWD);
    // Length is checked before the mode.
    EXPECT_EQ(fcrypt_init(9, reinterpret_cast<const unsigned char *>(long_pwd.data()), 129, salt, ver, &cx),
              FCRYPT_ERR_LONG_PWD);
    EXPECT_EQ(fcrypt_init(0, reinterpret_cast<const unsigned char *>("password"), 8, salt, ver, &cx), FCRYPT_ERR_MODE);
    EXPECT_EQ(fcrypt_init(4, reinterpret_cast<const unsigned char *>("password"), 8, salt, ver, &cx), FCRYPT_ERR_MODE);
    EXPECT_EQ(std::memcmp(&cx, &before, sizeof cx), 0);
    EXPECT_EQ(ver[0], 0xEE);
    EXPECT_EQ(ver[1], 0xEE);
    EXPECT_EQ(fcrypt_init(3, reinterpret_cast<const unsigned char *>(long_pwd.data()), 128, salt, ver, &cx), 0);
    EXPECT_EQ(cx.mode, 3u);
    EXPECT_EQ(cx.pwd_len, 128u);
}

TEST(StreamContext, SetUpFromDifferentLeftoversGivesIdenticalContexts) {
    const unsigned char salt[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2};
    const auto *pwd = reinterpret_cast<const unsigned char *>("leftover password");
    fcrypt_ctx a, b;
    std::memset(&a, 0x00, sizeof a);
    std::memset(&b, 0xA5, sizeof b);
    unsigned char va[2], vb[2];
    ASSERT_EQ(fcrypt_init(2, pwd, 17, salt, va, &a), 0);
    ASSERT_EQ(fcrypt_init(2, pwd, 17, salt, vb, &b), 0);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(hex(va, 2), hex(vb, 2));
}

TEST(HexText, EncodesLowerCaseWithATerminatorAndNeedsRoomForIt) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    char text[8];
    std::memset(text, 'Z', sizeof text);
    int len = 6;
    EXPECT_EQ(bin2hex(bytes, 3, text, &len), FCRYPT_ERR_SPACE);
    EXPECT_EQ(len, 6);
    EXPECT_EQ(text[0], 'Z');
    len = 7;
    EXPECT_EQ(bin2hex(bytes, 3, text, &len), 0);
    EXPECT_EQ(len, 6);
    EXPECT_STREQ(text, "00ab7f");
    // Nothing at all for no bytes, not even the terminator.
    std::memset(text, 'Z', sizeof text);
    len = 1;
    EXPECT_EQ(bin2hex(bytes, 0, text, &len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(text[0], 'Z');
}

TEST(HexText, DecodingIsLenientPerPairAsStrtolReadsIt) {
    unsigned char out[8];
    int len = 8;
    EXPECT_EQ(hex2bin("0A0a", 4, out, &len), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x0A);
    len = 8;
    EXPECT_EQ(hex2bin("zz7z-1 fFf", 10, out, &len), 0);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(hex(out, 5), "0007ff0fff");
}

TEST(HexText, OddLengthOrTooLittleRoomIsRefusedBeforeDecoding) {
    // An odd length is odd whatever its sign; an even negative one is no text at all.
    const struct { const char *text; int n, cap, rc, len; } cases[] = {
        {"abc", 3, 4, FCRYPT_ERR_SPACE, 4},   {"abcd", 4, 1, FCRYPT_ERR_SPACE, 1}, {"", 0, 0, 0, 0},
        {"abc", -3, 4, FCRYPT_ERR_SPACE, 4}, {"abcd", -4, 4, FCRYPT_ERR_ARG, 4},
    };
    for (const auto &c : cases) {
        unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        int len = c.cap;
        EXPECT_EQ(hex2bin(c.text, c.n, out, &len), c.rc) << c.text << " " << c.n;
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(out[0], 0xEE);
    }
    unsigned char in[1] = {0};
    char text[4] = {'Z', 'Z', 'Z', 'Z'};
    int len = 4;
    EXPECT_EQ(bin2hex(in, -1, text, &len), FCRYPT_ERR_ARG);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(text[0], 'Z');
}

TEST(HexText, RoundTripOfRandomBytes) {
    auto rng = seeded_rng("HexRoundTrip");
    const Bytes data = random_bytes(rng, 300);
    std::string text(601, '\0');
    int tlen = 601;
    ASSERT_EQ(bin2hex(data.data(), 300, text.data(), &tlen), 0);
    Bytes back(300);
    int blen = 300;
    ASSERT_EQ(hex2bin(text.data(), tlen, back.data(), &blen), 0);
    EXPECT_EQ(back, data);
}

class EncryptFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bwv-fcrypt-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static void write(const std::string &p, const Bytes &b) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), static_cast<long>(b.size()));
    }
    static Bytes read(const std::string &p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    static bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }
    std::string dir_;
};

// The descriptor other than skip that this process holds open on path, or -1.
int own_descriptor_on(const std::string &path, int skip) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir("/proc/self/fd"), closedir);
    while (dirent *e = dir ? readdir(dir.get()) : nullptr) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target);
        int fd = std::atoi(e->d_name);
        if (n > 0 && fd != skip && fd != dirfd(dir.get()) && path.compare(0, path.npos, target, n) == 0) return fd;
    }
    return -1;
}

TEST_F(EncryptFile, WritesTheBufferLayoutOfTheWholeFileOnADescriptorNoChildInherits) {
    auto rng = seeded_rng("EncryptFile");
    const Bytes plain = random_bytes(rng, 200000);
    write(path("in"), plain);
    // A pipe holds less than the output, so the writer stays blocked, its file open,
    // until the flags have been looked at.
    ASSERT_EQ(mkfifo(path("out").c_str(), 0600), 0);
    std::atomic<bool> done{false};
    int rc = -1;
    std::thread run([&] {
        rc = encrypt_file(path("in").c_str(), path("out").c_str(), "file password");
        done = true;
    });
    // Opened without waiting for a writer, so a run that fails first cannot hang the test.
    int reader = open(path("out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int writer = -1;
    while (reader >= 0 && writer < 0 && !done) writer = own_descriptor_on(path("out"), reader);
    EXPECT_GE(writer, 0);
    if (reader >= 0) fcntl(reader, F_SETFL, 0);
    if (writer >= 0) {
        EXPECT_NE(fcntl(writer, F_GETFD) & FD_CLOEXEC, 0) << "a child forked now would inherit it";
    }
    Bytes sealed;
    unsigned char piece[65536];
    for (ssize_t got; reader >= 0 && (got = ::read(reader, piece, sizeof piece)) > 0;)
        sealed.insert(sealed.end(), piece, piece + got);
    if (reader >= 0) close(reader);
    run.join();
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(sealed.size(), plain.size() + 20);
    Bytes back;
    ASSERT_EQ(decrypt(sealed, back, static_cast<int>(sealed.size()) + 20, "file password"), 0);
    EXPECT_EQ(back, plain);
}

TEST_F(EncryptFile, MissingInputIsAnErrorAndCreatesNoOutput) {
    EXPECT_EQ(encrypt_file(path("nope").c_str(), path("out").c_str(), "file password"), FCRYPT_ERR_OPEN_INPUT);
    EXPECT_FALSE(exists(path("out")));
}

TEST_F(EncryptFile, UncreatableOutputAndUnreadableInputAreErrors) {
    write(path("in"), str_bytes("data"));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("no/such/dir").c_str(), "file password"),
              FCRYPT_ERR_CREATE_OUTPUT);
    EXPECT_EQ(encrypt_file(dir_.c_str(), path("out").c_str(), "file password"), FCRYPT_ERR_READ_INPUT);
    EXPECT_FALSE(exists(path("out")));
    EXPECT_EQ(encrypt_file(nullptr, path("out").c_str(), "file password"), FCRYPT_ERR_ARG);
}

TEST_F(EncryptFile, EncryptionFailureLeavesAnEmptyOutput) {
    write(path("in"), str_bytes("data"));
    write(path("out"), str_bytes("previous content"));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), "short"), FCRYPT_ERR_SHORT_PWD);
    EXPECT_TRUE(read(path("out")).empty());
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), password(200).c_str()), FCRYPT_ERR_LONG_PWD);
    EXPECT_TRUE(read(path("out")).empty());
}

TEST_F(EncryptFile, EmptyInputGivesJustTheOverhead) {
    write(path("in"), {});
    ASSERT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), "8charpwd"), 0);
    EXPECT_EQ(read(path("out")).size(), 20u);
}

}  // namespace
