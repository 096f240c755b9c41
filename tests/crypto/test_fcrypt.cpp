// Every refusal of the crypto functions, the failing code check, hex text and files.

#include <bwvutil/aes.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

const char *const kPw = "8charpwd";
const std::string kLong(5000, 'L');
const auto *const kLongBytes = reinterpret_cast<const unsigned char *>(kLong.data());

Bytes seal(const Bytes &plain, const char *pwd = kPw) {
    Bytes out(plain.size() + 28);
    int n = static_cast<int>(out.size());
    EXPECT_EQ(encrypt_buffer(plain.data(), static_cast<int>(plain.size()), out.data(), &n, pwd), 0);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

const Bytes &sealed_sample() {
    static const Bytes sealed = seal(Bytes(5, 'p'));  // 25 bytes
    return sealed;
}

// What a refused call must leave alone starts as a known pattern and is compared after.
struct Scratch {
    unsigned char in[64] = {}, out[64];
    int len;
    fcrypt_ctx cx;
    // Opens the first n bytes of the sealed sample, optionally with its verifier altered.
    int open(std::size_t n, const char *pwd = kPw, unsigned char flip = 0) {
        Bytes b(sealed_sample().begin(), sealed_sample().begin() + static_cast<long>(n));
        if (flip) b[9] ^= flip;
        return decrypt_buffer(b.data(), static_cast<int>(n), out, &len, pwd);
    }
};

TEST(Refusals, EachComesWithItsCodeAndLeavesOutputLengthAndContextAlone) {
    const struct {
        const char *what;
        int len, rc;
        std::function<int(Scratch &)> call;
    } rows[] = {
        {"AES key lengths other than 16, 24, 32 bytes or bits", 0, 0, [](Scratch &s) {
             int r = 0;
             for (unsigned n : {0u, 8u, 20u, 64u, 100u, 127u, 129u, 255u, 512u}) {
                 aes_ctx c;
                 r |= aes_set_encrypt_key(s.in, n, &c) | aes_set_decrypt_key(s.in, n, &c);
             }
             return r;
         }},
        {"blocks on a refused schedule, which keeps no key", 0, 16, [](Scratch &s) {
             aes_ctx c;
             aes_set_encrypt_key(s.in, 32, &c);
             aes_set_encrypt_key(s.in, 20, &c);
             const bool no_key = std::count(c.ks, c.ks + 64, 0u) == 64 && c.rounds == 0;
             return aes_encrypt_block(s.in, s.out, &c) + aes_decrypt_block(s.in, s.out, &c) + (no_key ? int(c.inf) : -1);
         }},
        {"a schedule used the other way", 0, 0, [](Scratch &s) {
             aes_ctx e, d;
             aes_set_encrypt_key(s.in, 16, &e);
             aes_set_decrypt_key(s.in, 16, &d);
             return aes_decrypt_block(s.in, s.out, &e) + aes_encrypt_block(s.in, s.out, &d);
         }},
        {"HMAC key after data, the context unchanged", 0, -1, [](Scratch &s) {
             hmac_sha1_ctx h;
             hmac_sha1_begin(&h);
             hmac_sha1_key(s.in, 3, &h);
             hmac_sha1_data(s.in, 4, &h);
             const hmac_sha1_ctx before = h;
             const int rc = hmac_sha1_key(s.in, 3, &h);
             return std::memcmp(&h, &before, sizeof h) == 0 ? rc : 1;
         }},
        {"derive_key for no bytes", 0, 0, [](Scratch &s) { return derive_key(s.in, 8, s.in, 4, 10, s.out, 0), 0; }},
        {"fcrypt_init, long password", 0, FCRYPT_ERR_LONG_PWD, [](Scratch &s) { return fcrypt_init(1, kLongBytes, 129, s.in, s.out, &s.cx); }},
        {"fcrypt_init, long password before mode", 0, FCRYPT_ERR_LONG_PWD, [](Scratch &s) { return fcrypt_init(9, kLongBytes, 129, s.in, s.out, &s.cx); }},
        {"fcrypt_init, mode 0", 0, FCRYPT_ERR_MODE, [](Scratch &s) { return fcrypt_init(0, s.in, 8, s.in, s.out, &s.cx); }},
        {"fcrypt_init, mode 4", 0, FCRYPT_ERR_MODE, [](Scratch &s) { return fcrypt_init(4, s.in, 8, s.in, s.out, &s.cx); }},
        {"fcrypt_init, no salt", 0, FCRYPT_ERR_ARG, [](Scratch &s) { return fcrypt_init(1, s.in, 8, nullptr, s.out, &s.cx); }},
        // Buffers: arguments, then password, room, layout and verifier, in that order.
        {"no password", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return encrypt_buffer(s.in, 1, s.out, &s.len, nullptr); }},
        {"no length", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return encrypt_buffer(s.in, 1, s.out, nullptr, kPw); }},
        {"no input", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return encrypt_buffer(nullptr, 1, s.out, &s.len, kPw); }},
        {"no output", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return encrypt_buffer(s.in, 1, nullptr, &s.len, kPw); }},
        {"negative length", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return encrypt_buffer(s.in, -5, s.out, &s.len, kPw); }},
        {"no input to open", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return decrypt_buffer(nullptr, 30, s.out, &s.len, kPw); }},
        {"no output to open into", 64, FCRYPT_ERR_ARG, [](Scratch &s) { return decrypt_buffer(sealed_sample().data(), 25, nullptr, &s.len, kPw); }},
        {"short password first", 0, FCRYPT_ERR_SHORT_PWD, [](Scratch &s) { return encrypt_buffer(s.in, 10, nullptr, nullptr, "1234567"); }},
        {"short password opening", 0, FCRYPT_ERR_SHORT_PWD, [](Scratch &s) { return decrypt_buffer(s.in, 40, nullptr, nullptr, "1234567"); }},
        {"empty password", 100, FCRYPT_ERR_SHORT_PWD, [](Scratch &s) { return encrypt_buffer(s.in, 10, s.out, &s.len, ""); }},
        {"long password", 64, FCRYPT_ERR_LONG_PWD, [](Scratch &s) { return encrypt_buffer(s.in, 3, s.out, &s.len, kLong.substr(0, 129).c_str()); }},
        {"long password opening", 64, FCRYPT_ERR_LONG_PWD, [](Scratch &s) { return decrypt_buffer(s.in, 40, s.out, &s.len, kLong.substr(0, 129).c_str()); }},
        {"password past all that is read", 64, FCRYPT_ERR_LONG_PWD, [](Scratch &s) { return encrypt_buffer(s.in, 3, s.out, &s.len, kLong.c_str()); }},
        {"room, without output", 0, FCRYPT_ERR_SPACE, [](Scratch &s) { return encrypt_buffer(s.in, 10, nullptr, &s.len, kPw); }},
        {"room one short of in + 28", 37, FCRYPT_ERR_SPACE, [](Scratch &s) { return encrypt_buffer(s.in, 10, s.out, &s.len, kPw); }},
        {"negative room", -1, FCRYPT_ERR_SPACE, [](Scratch &s) { return encrypt_buffer(s.in, 10, s.out, &s.len, kPw); }},
        {"room one short of in + 20", 44, FCRYPT_ERR_SPACE, [](Scratch &s) { return s.open(25); }},
        {"shorter than the salt", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return s.open(7); }},
        {"no room for the verifier", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return s.open(9); }},
        {"verifier right, code missing", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return s.open(10); }},
        {"nine code bytes", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return s.open(19); }},
        {"negative input length", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return decrypt_buffer(s.in, -5, s.out, &s.len, kPw); }},
        {"input too short without output", 64, FCRYPT_ERR_SPACE, [](Scratch &s) { return decrypt_buffer(s.in, 9, nullptr, &s.len, kPw); }},
        {"wrong verifier without output", 64, FCRYPT_ERR_PASSWORD, [](Scratch &s) { return decrypt_buffer(s.in, 30, nullptr, &s.len, kPw); }},
        {"altered verifier", 64, FCRYPT_ERR_PASSWORD, [](Scratch &s) { return s.open(10, kPw, 0x01); }},
        {"wrong password of the same class", 64, FCRYPT_ERR_PASSWORD, [](Scratch &s) { return s.open(25, "8charpwX"); }},
        // Hex text: room and sign are checked before any digit.
        {"hex, no room for the terminator", 6, FCRYPT_ERR_SPACE, [](Scratch &s) { return bin2hex(s.in, 3, reinterpret_cast<char *>(s.out), &s.len); }},
        {"hex, negative count", 4, FCRYPT_ERR_ARG, [](Scratch &s) { return bin2hex(s.in, -1, reinterpret_cast<char *>(s.out), &s.len); }},
        {"odd digit count", 4, FCRYPT_ERR_SPACE, [](Scratch &s) { return hex2bin("abc", 3, s.out, &s.len); }},
        {"odd negative digit count", 4, FCRYPT_ERR_SPACE, [](Scratch &s) { return hex2bin("abc", -3, s.out, &s.len); }},
        {"even negative digit count", 4, FCRYPT_ERR_ARG, [](Scratch &s) { return hex2bin("abcd", -4, s.out, &s.len); }},
        {"too little room for the bytes", 1, FCRYPT_ERR_SPACE, [](Scratch &s) { return hex2bin("abcd", 4, s.out, &s.len); }},
        {"no digits", 0, 0, [](Scratch &s) { return hex2bin("", 0, s.out, &s.len); }},
    };
    for (const auto &r : rows) {
        Scratch s;
        std::memset(s.out, 0xEE, sizeof s.out);
        std::memset(&s.cx, 0x5A, sizeof s.cx);
        s.len = r.len;
        EXPECT_EQ(r.call(s), r.rc) << r.what;
        EXPECT_EQ(s.len, r.len) << r.what;
        EXPECT_EQ(hex(s.out, sizeof s.out), std::string(2 * sizeof s.out, 'e')) << r.what;
        EXPECT_EQ(std::count(reinterpret_cast<unsigned char *>(&s.cx), reinterpret_cast<unsigned char *>(&s.cx + 1), 0x5A),
                  static_cast<long>(sizeof s.cx)) << r.what;
    }
}

TEST(BufferCode, AlteredCipherTextOrCodeFailsAndLeavesTheUnauthenticatedDecryption) {
    const Bytes plain(16, 'x');
    Bytes sealed = seal(plain), out(40);
    sealed[8 + 2 + 3] ^= 0x40;
    int len = 60;
    EXPECT_EQ(decrypt_buffer(sealed.data(), 36, out.data(), &len, kPw), FCRYPT_ERR_AUTH);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(hex(out.data(), 16), hex(plain.data(), 3) + "38" + hex(plain.data(), 12));
    sealed[8 + 2 + 3] ^= 0x40;
    sealed.back() ^= 0x01;
    len = 60;
    EXPECT_EQ(decrypt_buffer(sealed.data(), 36, out.data(), &len, kPw), FCRYPT_ERR_AUTH);
}

TEST(StreamContext, SetUpFromDifferentLeftoversGivesIdenticalContexts) {
    fcrypt_ctx a, b;
    std::memset(&a, 0x00, sizeof a);
    std::memset(&b, 0xA5, sizeof b);
    unsigned char salt[12] = {9, 8, 7}, va[2], vb[2];
    ASSERT_EQ(fcrypt_init(2, reinterpret_cast<const unsigned char *>(kPw), 8, salt, va, &a), 0);
    ASSERT_EQ(fcrypt_init(2, reinterpret_cast<const unsigned char *>(kPw), 8, salt, vb, &b), 0);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
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
    static Bytes read(const std::string &p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    char dir_[32] = "/tmp/bwv-fcrypt-XXXXXX";
};

// The descriptor other than skip that this process holds open on path, or -1.
int own_descriptor_on(const std::string &path, int skip) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir("/proc/self/fd"), closedir);
    while (dirent *e = dir ? readdir(dir.get()) : nullptr) {
        char target[4096];
        const ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target);
        const int fd = std::atoi(e->d_name);
        if (n > 0 && fd != skip && fd != dirfd(dir.get()) && path.compare(0, path.npos, target, static_cast<std::size_t>(n)) == 0) return fd;
    }
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
    if (reader >= 0 && fcntl(reader, F_SETFL, 0) == 0)
        for (ssize_t got; (got = ::read(reader, piece, sizeof piece)) > 0;) sealed.insert(sealed.end(), piece, piece + got);
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
    EXPECT_TRUE(read(path("out")).empty());
    write(path("out"), Bytes(16, 'p'));
    EXPECT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), kLong.c_str()), FCRYPT_ERR_LONG_PWD);
    EXPECT_TRUE(read(path("out")).empty());
    write(path("in"), {});
    ASSERT_EQ(encrypt_file(path("in").c_str(), path("out").c_str(), kPw), 0);
    EXPECT_EQ(read(path("out")).size(), 20u);
}

}  // namespace
