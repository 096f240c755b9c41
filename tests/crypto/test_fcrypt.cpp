// Every refusal of the crypto functions, hex text and files.

#include <bwvutil/aes.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

const char *const kPw = "8charpwd";
const std::string kLong(5000, 'L'), kLong129(129, 'L');  // the first far past the 1024 characters ever read
const auto *const kLongBytes = reinterpret_cast<const unsigned char *>(kLong.data());

Bytes seal(const Bytes &plain, const char *pwd = kPw) {
    Bytes out(plain.size() + 28);
    int n = static_cast<int>(out.size());
    EXPECT_EQ(encrypt_buffer(plain.data(), static_cast<int>(plain.size()), out.data(), &n, pwd), 0);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// What a refused call must leave alone starts as a known pattern and is compared after.
struct Scratch {
    unsigned char in[64] = {}, out[64];
    int len;
    fcrypt_ctx cx;
    aes_ctx aes, other;
    // The first n bytes of a sealed 5-byte message (25 bytes), its verifier altered by flip.
    int open(std::size_t n, const char *pwd = kPw, unsigned char flip = 0, bool to_out = true) {
        static const Bytes sealed = seal(Bytes(5, 'p'));
        Bytes b(sealed.begin(), sealed.begin() + static_cast<long>(n));
        if (flip != 0) b[9] ^= flip;
        return decrypt_buffer(b.data(), static_cast<int>(n), to_out ? out : nullptr, &len, pwd);
    }
    int refused_key_lengths() {
        int r = 0;
        for (unsigned n : {0u, 8u, 20u, 64u, 100u, 127u, 129u, 255u, 512u})
            r |= aes_set_encrypt_key(in, n, &aes) | aes_set_decrypt_key(in, n, &aes);
        return r;
    }
    // A refused set-up also drops the key before it: 16, no rounds, no round key.
    int blocks_after_refusal() {
        aes_set_encrypt_key(in, 32, &aes);
        aes_set_encrypt_key(in, 20, &aes);
        const auto zero_keys = std::count(aes.ks, aes.ks + 64, 0u);
        const int state = static_cast<int>(aes.inf + aes.rounds + 64 - zero_keys);
        return aes_encrypt_block(in, out, &aes) + aes_decrypt_block(in, out, &aes) + state;
    }
    int wrong_direction() {
        aes_set_encrypt_key(in, 16, &aes);
        aes_set_decrypt_key(in, 16, &other);
        return aes_decrypt_block(in, out, &aes) + aes_encrypt_block(in, out, &other);
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

#define BWV_REFUSAL(len, rc, call) {#call, len, rc, [](Scratch &s) { return s.call; }}
#define BWV_REFUSAL_OF(len, rc, call) {#call, len, rc, [](Scratch &s) { return call; }}

TEST(Refusals, EachComesWithItsCodeAndLeavesOutputLengthAndContextAlone) {
    const struct {
        const char *call;
        int len, rc;
        int (*fn)(Scratch &);
    } rows[] = {
        BWV_REFUSAL(0, 0, refused_key_lengths()),
        BWV_REFUSAL(0, 16, blocks_after_refusal()),
        BWV_REFUSAL(0, 0, wrong_direction()),
        BWV_REFUSAL(0, -1, hmac_key_after_data()),
        BWV_REFUSAL_OF(0, 0, (derive_key(s.in, 8, s.in, 4, 10, s.out, 0), 0)),
        // fcrypt_init: password length first, then mode, then pointers.
        BWV_REFUSAL_OF(0, FCRYPT_ERR_LONG_PWD, fcrypt_init(9, kLongBytes, 129, s.in, s.out, &s.cx)),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_MODE, fcrypt_init(0, s.in, 8, s.in, s.out, &s.cx)),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_MODE, fcrypt_init(4, s.in, 8, s.in, s.out, &s.cx)),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_ARG, fcrypt_init(1, s.in, 8, nullptr, s.out, &s.cx)),
        // Buffers: arguments, then password, room, layout and verifier, in that order.
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, s.out, &s.len, nullptr)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, s.out, nullptr, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, encrypt_buffer(nullptr, 1, s.out, &s.len, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, 1, nullptr, &s.len, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, encrypt_buffer(s.in, -5, s.out, &s.len, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_ARG, decrypt_buffer(nullptr, 30, s.out, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_ARG, open(25, kPw, 0, false)),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_SHORT_PWD, encrypt_buffer(s.in, 10, nullptr, nullptr, "1234567")),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_SHORT_PWD, decrypt_buffer(s.in, 40, nullptr, nullptr, "1234567")),
        BWV_REFUSAL_OF(100, FCRYPT_ERR_SHORT_PWD, encrypt_buffer(s.in, 10, s.out, &s.len, "")),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_LONG_PWD, encrypt_buffer(s.in, 3, s.out, &s.len, kLong129.c_str())),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_LONG_PWD, decrypt_buffer(s.in, 40, s.out, &s.len, kLong129.c_str())),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_LONG_PWD, encrypt_buffer(s.in, 3, s.out, &s.len, kLong.c_str())),
        BWV_REFUSAL_OF(0, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, nullptr, &s.len, kPw)),
        BWV_REFUSAL_OF(37, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, s.out, &s.len, kPw)),
        BWV_REFUSAL_OF(-1, FCRYPT_ERR_SPACE, encrypt_buffer(s.in, 10, s.out, &s.len, kPw)),
        BWV_REFUSAL(44, FCRYPT_ERR_SPACE, open(25)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, open(7)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, open(9)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, open(10)),
        BWV_REFUSAL(64, FCRYPT_ERR_SPACE, open(19)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_SPACE, decrypt_buffer(s.in, -5, s.out, &s.len, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_SPACE, decrypt_buffer(s.in, 9, nullptr, &s.len, kPw)),
        BWV_REFUSAL_OF(64, FCRYPT_ERR_PASSWORD, decrypt_buffer(s.in, 30, nullptr, &s.len, kPw)),
        BWV_REFUSAL(64, FCRYPT_ERR_PASSWORD, open(10, kPw, 0x01)),
        BWV_REFUSAL(64, FCRYPT_ERR_PASSWORD, open(25, "8charpwX")),
        // Hex text: room and sign are checked before any digit.
        BWV_REFUSAL_OF(6, FCRYPT_ERR_SPACE, bin2hex(s.in, 3, reinterpret_cast<char *>(s.out), &s.len)),
        BWV_REFUSAL_OF(4, FCRYPT_ERR_ARG, bin2hex(s.in, -1, reinterpret_cast<char *>(s.out), &s.len)),
        BWV_REFUSAL_OF(4, FCRYPT_ERR_SPACE, hex2bin("abc", 3, s.out, &s.len)),
        BWV_REFUSAL_OF(4, FCRYPT_ERR_SPACE, hex2bin("abc", -3, s.out, &s.len)),
        BWV_REFUSAL_OF(4, FCRYPT_ERR_ARG, hex2bin("abcd", -4, s.out, &s.len)),
        BWV_REFUSAL_OF(1, FCRYPT_ERR_SPACE, hex2bin("abcd", 4, s.out, &s.len)),
        BWV_REFUSAL_OF(0, 0, hex2bin("", 0, s.out, &s.len)),
    };
    for (const auto &r : rows) {
        Scratch s;
        std::memset(s.out, 0xEE, sizeof s.out);
        std::memset(&s.cx, 0x5A, sizeof s.cx);
        s.len = r.len;
        EXPECT_EQ(r.fn(s), r.rc) << r.call;
        EXPECT_EQ(s.len, r.len) << r.call;
        EXPECT_EQ(hex(s.out, sizeof s.out), std::string(2 * sizeof s.out, 'e')) << r.call;
        const auto *cx = reinterpret_cast<const unsigned char *>(&s.cx);
        EXPECT_EQ(std::count(cx, cx + sizeof s.cx, 0x5A), static_cast<long>(sizeof s.cx)) << r.call;
    }
}

TEST(HexText, LowerCaseWithATerminatorAndLenientPerPairDecoding) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    char text[8] = "ZZZZZZZ";
    int len = 1;
    EXPECT_EQ(bin2hex(bytes, 0, text, &len), 0);  // nothing at all, not even the terminator
    EXPECT_EQ(len, 0);
    EXPECT_EQ(text[0], 'Z');
    len = 7;
    EXPECT_EQ(bin2hex(bytes, 3, text, &len), 0);
    EXPECT_EQ(len, 6);
    EXPECT_STREQ(text, "00ab7f");
    // Each pair as strtol reads it: white space, a sign or a stray letter included.
    unsigned char out[8];
    len = 8;
    EXPECT_EQ(hex2bin("0A0azz7z-1 fFf", 14, out, &len), 0);
    EXPECT_EQ(len, 7);
    EXPECT_EQ(hex(out, 7), "0a0a0007ff0fff");
}

class EncryptFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_), nullptr); }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + std::string(dir_) + "'").c_str()), 0); }
    std::string path(const char *name) const { return std::string(dir_) + "/" + name; }
    static void write(const std::string &p, const Bytes &b) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), static_cast<long>(b.size()));
    }
    char dir_[32] = "/tmp/bwv-fcrypt-XXXXXX";
};

// The descriptor other than skip that this process holds open on path, or -1.
int own_descriptor_on(const std::string &path, int skip) {
    struct stat want, st;
    for (int fd = 3; stat(path.c_str(), &want) == 0 && fd < 1024; ++fd)
        if (fd != skip && fstat(fd, &st) == 0 && st.st_ino == want.st_ino && st.st_dev == want.st_dev) return fd;
    return -1;
}

TEST_F(EncryptFile, WritesTheBufferLayoutOfTheWholeFileOnADescriptorNoChildInherits) {
    auto rng = seeded_rng("EncryptFile");
    const Bytes plain = random_bytes(rng, 200000);
    write(path("in"), plain);
    // A pipe holds less than the output, so the writer stays blocked with its file open
    // until the flags have been looked at.
    ASSERT_EQ(mkfifo(path("out").c_str(), 0600), 0);
    std::atomic<bool> done{false};
    int rc = -1;
    std::thread run([&] {
        rc = encrypt_file(path("in").c_str(), path("out").c_str(), "file password");
        done = true;
    });
    // Opened without waiting for a writer, so a run that fails first cannot hang the test.
    const int reader = open(path("out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int writer = -1;
    while (reader >= 0 && writer < 0 && !done) writer = own_descriptor_on(path("out"), reader);
    EXPECT_GE(writer, 0);
    EXPECT_NE(writer >= 0 ? fcntl(writer, F_GETFD) & FD_CLOEXEC : 1, 0) << "a child forked now would inherit it";
    Bytes sealed;
    unsigned char piece[65536];
    for (ssize_t got; reader >= 0 && fcntl(reader, F_SETFL, 0) == 0 && (got = ::read(reader, piece, sizeof piece)) > 0;)
        sealed.insert(sealed.end(), piece, piece + got);
    if (reader >= 0) close(reader);
    run.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(hex(sealed), hex(seal(plain, "file password")));
}

TEST_F(EncryptFile, FailuresLeaveNoOutputOrAnEmptyOne) {
    EXPECT_EQ(encrypt_file(path("nope").c_str(), path("out").c_str(), kPw), FCRYPT_ERR_OPEN_INPUT);
    EXPECT_EQ(encrypt_file(dir_, path("out").c_str(), kPw), FCRYPT_ERR_READ_INPUT);
    EXPECT_EQ(encrypt_file(nullptr, path("out").c_str(), kPw), FCRYPT_ERR_ARG);
    EXPECT_NE(access(path("out").c_str(), F_OK), 0);
    write(path("in"), Bytes(4, 'd'));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("no/such/dir").c_str(), kPw), FCRYPT_ERR_CREATE_OUTPUT);
    write(path("out"), Bytes(16, 'p'));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), "short"), FCRYPT_ERR_SHORT_PWD);
    EXPECT_EQ(std::filesystem::file_size(path("out")), 0u);
    write(path("out"), Bytes(16, 'p'));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), kLong.c_str()), FCRYPT_ERR_LONG_PWD);
    EXPECT_EQ(std::filesystem::file_size(path("out")), 0u);
    write(path("in"), {});
    ASSERT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), kPw), 0);
    EXPECT_EQ(std::filesystem::file_size(path("out")), 20u);
}

}  // namespace
