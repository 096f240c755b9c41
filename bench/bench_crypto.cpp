// Our cryptography next to OpenSSL's, in one run, with the ratios printed at the end.
//
// OpenSSL reads OPENSSL_ia32cap once, when it initialises, so its other code paths are
// measured by re-running this program with that variable set (the child mode below,
// which runs only the OpenSSL benchmarks and hands back their times on stdout):
//   native  - OpenSSL as it is (AES-NI, SHA extensions where the CPU has them)
//   masked  - OPENSSL_ia32cap="~0x1200020200000000:~0x20000000": AES-NI, SSSE3, AVX and
//             the SHA extensions masked
//   scalar  - OPENSSL_ia32cap="": every capability off, its table AES and integer SHA-1
// Our own SHA-1 runs twice, pinned to the portable C (its BMI2 build where the CPU has
// BMI2) and to the SHA extensions; our AES likewise on its tables and on the AES
// instructions. encrypt_buffer and decrypt_buffer on 8 MiB are set against OpenSSL's
// AES-128-CTR from the input into the output plus HMAC-SHA1 over the cipher text, keyed
// afresh per call (the key derivation, which only ours does, is left out of the peer).
// Usual Google Benchmark flags apply (e.g. --benchmark_min_time=0.2); the child runs
// inherit them.

#include <benchmark/benchmark.h>

#include <bwvutil/aes.h>
#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level SHA1_* calls are the fair peer
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "lib/crypto/aes_impl.hpp"
#include "lib/crypto/sha1_impl.hpp"

namespace {

using bwv::crypto::AesEngine;
using bwv::crypto::Sha1Engine;

constexpr int kBig = 8 << 20;  // the whole-buffer measurements

const unsigned char kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const char kPassword[] = "benchmark password";
const unsigned char kSalt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const char kValue[] = "a forty character configuration value!!!";  // 40 characters
static_assert(sizeof kValue == 41);
constexpr char kEncPassphraseForPeer[] = "qz_1A2Green3Owl4Sailed5Past6A7Calm8Bay";

std::vector<unsigned char> &buffer(std::size_t n) {
    static std::vector<unsigned char> b;
    if (b.size() < n) b.assign(n, 0x5A);
    return b;
}

// --- ours ----------------------------------------------------------------------------

const Sha1Engine *engine_for(int which) {
    if (which == 0) return &bwv::crypto::sha1_portable_engine();
    return bwv::crypto::sha1_native_engine();
}

struct PinEngine {
    explicit PinEngine(benchmark::State &st, int which) {
        const Sha1Engine *e = engine_for(which);
        if (e == nullptr) st.SkipWithError("no SHA extensions on this CPU");
        bwv::crypto::sha1_pin_engine(e);
    }
    ~PinEngine() { bwv::crypto::sha1_pin_engine(nullptr); }
};

// Engine 0 is the table code, 1 the AES instructions.
struct PinAes {
    explicit PinAes(benchmark::State &st, int which) {
        const AesEngine *e = which == 0 ? &bwv::crypto::kAesPortable : bwv::crypto::aes_native_engine();
        if (e == nullptr) st.SkipWithError("no AES instructions on this CPU");
        bwv::crypto::aes_pin_engine(e);
    }
    ~PinAes() { bwv::crypto::aes_pin_engine(nullptr); }
};

void ours_aes_block(benchmark::State &st) {
    PinAes pin(st, static_cast<int>(st.range(1)));
    aes_ctx ctx;
    aes_set_encrypt_key(kKey, static_cast<unsigned>(st.range(0)), &ctx);
    unsigned char blk[16] = {0};
    for (auto _ : st) {
        aes_encrypt_block(blk, blk, &ctx);
        benchmark::DoNotOptimize(blk);
    }
    st.SetBytesProcessed(st.iterations() * 16);
}

void ours_ctr_hmac(benchmark::State &st) {
    PinAes pin(st, static_cast<int>(st.range(1)));
    const int mode = st.range(0) == 128 ? 1 : 3;
    auto &data = buffer(8192);
    fcrypt_ctx cx;
    unsigned char ver[2], mac[10];
    fcrypt_init(mode, reinterpret_cast<const unsigned char *>(kPassword), sizeof kPassword - 1, kSalt, ver, &cx);
    for (auto _ : st) {
        fcrypt_encrypt(data.data(), 8192, &cx);
        benchmark::ClobberMemory();
    }
    fcrypt_end(mac, &cx);
    st.SetBytesProcessed(st.iterations() * 8192);
}

void ours_ctr(benchmark::State &st) {
    PinAes pin(st, static_cast<int>(st.range(1)));
    const int mode = st.range(0) == 128 ? 1 : 3;
    auto &data = buffer(8192);
    fcrypt_ctx cx;
    unsigned char ver[2];
    fcrypt_init(mode, reinterpret_cast<const unsigned char *>(kPassword), sizeof kPassword - 1, kSalt, ver, &cx);
    for (auto _ : st) {
        encr_data(data.data(), 8192, &cx);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * 8192);
}

std::vector<unsigned char> &out_buffer() {
    static std::vector<unsigned char> b(kBig + FCRYPT_MAX_OVERHEAD + 20);
    return b;
}

// 8 MiB through the whole call, key derivation included; the password picks AES-128.
void ours_encrypt_buffer(benchmark::State &st) {
    auto &in = buffer(kBig);
    auto &out = out_buffer();
    for (auto _ : st) {
        int len = static_cast<int>(out.size());
        encrypt_buffer(in.data(), kBig, out.data(), &len, kPassword);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kBig);
}

void ours_decrypt_buffer(benchmark::State &st) {
    static std::vector<unsigned char> sealed(kBig + FCRYPT_MAX_OVERHEAD);
    int slen = static_cast<int>(sealed.size());
    encrypt_buffer(buffer(kBig).data(), kBig, sealed.data(), &slen, kPassword);
    auto &out = out_buffer();
    for (auto _ : st) {
        int len = static_cast<int>(out.size());
        if (decrypt_buffer(sealed.data(), slen, out.data(), &len, kPassword) != 0) st.SkipWithError("refused");
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kBig);
}

void ours_sha1(benchmark::State &st) {
    PinEngine pin(st, static_cast<int>(st.range(1)));
    const auto n = static_cast<uint32_t>(st.range(0));
    auto &data = buffer(n);
    unsigned char d[20];
    for (auto _ : st) {
        sha1(d, data.data(), n);
        benchmark::DoNotOptimize(d);
    }
    st.SetBytesProcessed(st.iterations() * n);
}

void ours_hmac(benchmark::State &st) {
    PinEngine pin(st, static_cast<int>(st.range(1)));
    auto &data = buffer(64);
    unsigned char mac[20];
    for (auto _ : st) {
        hmac_sha1(kKey, 20, data.data(), 64, mac, 20);
        benchmark::DoNotOptimize(mac);
    }
    st.SetBytesProcessed(st.iterations() * 64);
}

void ours_pbkdf2(benchmark::State &st) {
    PinEngine pin(st, static_cast<int>(st.range(1)));
    const auto len = static_cast<unsigned>(st.range(0));
    unsigned char key[66];
    for (auto _ : st) {
        derive_key(reinterpret_cast<const unsigned char *>(kPassword), sizeof kPassword - 1, kSalt, 12, 1000, key, len);
        benchmark::DoNotOptimize(key);
    }
}

void ours_enc_str(benchmark::State &st) {
    PinEngine pin(st, static_cast<int>(st.range(0)));
    for (auto _ : st) {
        char *e = enc_enc_str(kValue);
        benchmark::DoNotOptimize(e);
        std::free(e);
    }
}

void ours_dec_str(benchmark::State &st) {
    PinEngine pin(st, static_cast<int>(st.range(0)));
    char *stored = enc_enc_str(kValue);
    for (auto _ : st) {
        char *d = enc_dec_str(stored);
        benchmark::DoNotOptimize(d);
        std::free(d);
    }
    std::free(stored);
}

// --- OpenSSL -------------------------------------------------------------------------

struct CipherCtx {
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(c); }
};

void openssl_aes_block(benchmark::State &st) {
    CipherCtx ctx;
    EVP_EncryptInit_ex(ctx.c, st.range(0) == 128 ? EVP_aes_128_ecb() : EVP_aes_256_ecb(), nullptr, kKey, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.c, 0);
    unsigned char blk[16] = {0};
    int outl = 0;
    for (auto _ : st) {
        EVP_EncryptUpdate(ctx.c, blk, &outl, blk, 16);
        benchmark::DoNotOptimize(blk);
    }
    st.SetBytesProcessed(st.iterations() * 16);
}

struct Mac {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    OSSL_PARAM params[2];
    Mac() {
        static char sha1_name[] = "SHA1";
        params[0] = OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, sha1_name, 0);
        params[1] = OSSL_PARAM_construct_end();
    }
    ~Mac() {
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
    }
};

// Counter mode plus HMAC-SHA1 over the cipher text: the same work as fcrypt_encrypt.
void openssl_ctr_hmac(benchmark::State &st) {
    CipherCtx ctx;
    EVP_EncryptInit_ex(ctx.c, st.range(0) == 128 ? EVP_aes_128_ctr() : EVP_aes_256_ctr(), nullptr, kKey, kSalt);
    Mac mac;
    EVP_MAC_init(mac.ctx, kKey + 16, 16, mac.params);
    auto &data = buffer(8192);
    int outl = 0;
    for (auto _ : st) {
        EVP_EncryptUpdate(ctx.c, data.data(), &outl, data.data(), 8192);
        EVP_MAC_update(mac.ctx, data.data(), 8192);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * 8192);
}

// The cipher and code work of one encrypt_buffer call on 8 MiB: counter mode from the
// input into the output, HMAC-SHA1 of the result, both keyed for the call.
void openssl_buffer(benchmark::State &st) {
    CipherCtx ctx;
    Mac mac;
    auto &in = buffer(kBig);
    auto &out = out_buffer();
    for (auto _ : st) {
        int outl = 0;
        std::size_t ml = 0;
        unsigned char code[20];
        EVP_EncryptInit_ex(ctx.c, EVP_aes_128_ctr(), nullptr, kKey, kSalt);
        EVP_EncryptUpdate(ctx.c, out.data(), &outl, in.data(), kBig);
        EVP_MAC_init(mac.ctx, kKey + 16, 16, mac.params);
        EVP_MAC_update(mac.ctx, out.data(), kBig);
        EVP_MAC_final(mac.ctx, code, &ml, sizeof code);
        benchmark::DoNotOptimize(code);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kBig);
}

void openssl_ctr(benchmark::State &st) {
    CipherCtx ctx;
    EVP_EncryptInit_ex(ctx.c, st.range(0) == 128 ? EVP_aes_128_ctr() : EVP_aes_256_ctr(), nullptr, kKey, kSalt);
    auto &data = buffer(8192);
    int outl = 0;
    for (auto _ : st) {
        EVP_EncryptUpdate(ctx.c, data.data(), &outl, data.data(), 8192);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * 8192);
}

void openssl_sha1(benchmark::State &st) {
    const auto n = static_cast<std::size_t>(st.range(0));
    auto &data = buffer(n);
    unsigned char d[20];
    SHA_CTX c;
    for (auto _ : st) {
        SHA1_Init(&c);
        SHA1_Update(&c, data.data(), n);
        SHA1_Final(d, &c);
        benchmark::DoNotOptimize(d);
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(n));
}

void openssl_hmac(benchmark::State &st) {
    Mac mac;
    auto &data = buffer(64);
    unsigned char out[20];
    std::size_t outl = 0;
    for (auto _ : st) {
        // Keyed afresh per message, as hmac_sha1 is.
        EVP_MAC_init(mac.ctx, kKey, 20, mac.params);
        EVP_MAC_update(mac.ctx, data.data(), 64);
        EVP_MAC_final(mac.ctx, out, &outl, sizeof out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed(st.iterations() * 64);
}

void openssl_pbkdf2(benchmark::State &st) {
    const auto len = static_cast<int>(st.range(0));
    unsigned char key[66];
    for (auto _ : st) {
        PKCS5_PBKDF2_HMAC_SHA1(kPassword, sizeof kPassword - 1, kSalt, 12, 1000, len, key);
        benchmark::DoNotOptimize(key);
    }
}

// The "Enc " form of a 40-character value composed from OpenSSL calls: PBKDF2 for 50
// bytes, AES-192 over the counter blocks, HMAC, hex. Same work as enc_enc_str.
void openssl_enc_str(benchmark::State &st) {
    CipherCtx ctx;
    Mac mac;
    for (auto _ : st) {
        unsigned char dk[50], buf[41 + 24], ks[48], ctr[48] = {0};
        PKCS5_PBKDF2_HMAC_SHA1(kEncPassphraseForPeer, 38, kSalt, 12, 1000, 50, dk);
        EVP_EncryptInit_ex(ctx.c, EVP_aes_192_ecb(), nullptr, dk, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx.c, 0);
        for (int b = 0; b < 3; ++b) ctr[16 * b] = static_cast<unsigned char>(b + 1);
        int outl = 0;
        EVP_EncryptUpdate(ctx.c, ks, &outl, ctr, 48);
        std::memcpy(buf, kSalt, 12);
        buf[12] = dk[48];
        buf[13] = dk[49];
        for (int i = 0; i < 41; ++i) buf[14 + i] = static_cast<unsigned char>(kValue[i] ^ ks[i]);
        std::size_t ml = 0;
        unsigned char m[20];
        EVP_MAC_init(mac.ctx, dk + 24, 24, mac.params);
        EVP_MAC_update(mac.ctx, buf + 14, 41);
        EVP_MAC_final(mac.ctx, m, &ml, sizeof m);
        std::memcpy(buf + 55, m, 10);
        char *text = static_cast<char *>(std::malloc(4 + 2 * sizeof buf + 1));
        std::memcpy(text, "Enc ", 4);
        for (std::size_t i = 0; i < sizeof buf; ++i) std::snprintf(text + 4 + 2 * i, 3, "%02x", buf[i]);
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
}

void register_all(bool openssl_only) {
    auto reg = [](const char *name, auto fn) { return benchmark::RegisterBenchmark(name, fn); };
    if (!openssl_only) {
        reg("ours/aes_block", ours_aes_block)->ArgsProduct({{128, 256}, {0, 1}});
        reg("ours/ctr", ours_ctr)->ArgsProduct({{128, 256}, {0, 1}});
        reg("ours/ctr_hmac", ours_ctr_hmac)->ArgsProduct({{128, 256}, {0, 1}});
        reg("ours/encrypt_buffer", ours_encrypt_buffer)->Unit(benchmark::kMillisecond);
        reg("ours/decrypt_buffer", ours_decrypt_buffer)->Unit(benchmark::kMillisecond);
        reg("ours/sha1", ours_sha1)->ArgsProduct({{64, 8192}, {0, 1}});
        reg("ours/hmac", ours_hmac)->ArgsProduct({{64}, {0, 1}});
        reg("ours/pbkdf2", ours_pbkdf2)->ArgsProduct({{34, 50, 66}, {0, 1}})->Unit(benchmark::kMicrosecond);
        reg("ours/enc_enc_str", ours_enc_str)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
        reg("ours/enc_dec_str", ours_dec_str)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
    }
    reg("openssl/aes_block", openssl_aes_block)->Arg(128)->Arg(256);
    reg("openssl/ctr", openssl_ctr)->Arg(128)->Arg(256);
    reg("openssl/ctr_hmac", openssl_ctr_hmac)->Arg(128)->Arg(256);
    reg("openssl/buffer", openssl_buffer)->Unit(benchmark::kMillisecond);
    reg("openssl/sha1", openssl_sha1)->Arg(64)->Arg(8192);
    reg("openssl/hmac", openssl_hmac)->Arg(64);
    reg("openssl/pbkdf2", openssl_pbkdf2)->Arg(34)->Arg(50)->Arg(66)->Unit(benchmark::kMicrosecond);
    reg("openssl/enc_str", openssl_enc_str)->Unit(benchmark::kMicrosecond);
}

// CPU time per iteration in nanoseconds, by benchmark name: the machine may be shared,
// and single-threaded work is best compared by the time it actually ran.
using Times = std::map<std::string, double>;

double to_ns(double t, benchmark::TimeUnit u) {
    switch (u) {
        case benchmark::kNanosecond:
            return t;
        case benchmark::kMicrosecond:
            return t * 1e3;
        case benchmark::kMillisecond:
            return t * 1e6;
        case benchmark::kSecond:
            return t * 1e9;
    }
    return t;
}

class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(Times &t, bool quiet) : times_(t), quiet_(quiet) {}
    bool ReportContext(const Context &c) override { return quiet_ ? true : ConsoleReporter::ReportContext(c); }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                times_[r.benchmark_name()] = to_ns(r.GetAdjustedCPUTime(), r.time_unit);
        if (!quiet_) ConsoleReporter::ReportRuns(runs);
    }

private:
    Times &times_;
    bool quiet_;
};

std::string self_path() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the OpenSSL benchmarks in a fresh process with OPENSSL_ia32cap set.
Times run_child(const char *cap, const std::vector<std::string> &passthrough) {
    std::string cmd = "OPENSSL_ia32cap=" + shell_quote(cap) + " " + shell_quote(self_path()) + " --bwv-child";
    for (const auto &a : passthrough) cmd += " " + shell_quote(a);
    Times t;
    std::FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return t;
    char line[512], name[400];
    double ns;
    while (std::fgets(line, sizeof line, p))
        if (std::sscanf(line, "BWVTIME %399s %lf", name, &ns) == 2) t[name] = ns;
    pclose(p);
    return t;
}

struct Variant {
    const char *label;
    const char *cap;  // nullptr: this process, OpenSSL as it is
};
const Variant kVariants[] = {{"native", nullptr}, {"masked", "~0x1200020200000000:~0x20000000"}, {"scalar", ""}};

void print_ratios(const Times &ours, const std::map<std::string, Times> &theirs) {
    auto get = [](const Times &t, const std::string &k) {
        auto it = t.find(k);
        return it == t.end() ? 0.0 : it->second;
    };
    std::printf("\nSpeed of ours relative to OpenSSL (OpenSSL time / our time; above 1 means ours is faster)\n");
    std::printf("%-44s %-14s %12s %12s %12s\n", "measurement", "our engine", "native", "masked", "scalar");
    struct Row {
        std::string label, ours_key, theirs_key;
    };
    std::vector<Row> rows;
    for (const char *e : {"/0", "/1"}) {
        rows.push_back({"AES-128 block (16 B)", std::string("ours/aes_block/128") + e, "openssl/aes_block/128"});
        rows.push_back({"AES-256 block (16 B)", std::string("ours/aes_block/256") + e, "openssl/aes_block/256"});
        rows.push_back({"AES-128 CTR 8 KiB", std::string("ours/ctr/128") + e, "openssl/ctr/128"});
        rows.push_back({"AES-256 CTR 8 KiB", std::string("ours/ctr/256") + e, "openssl/ctr/256"});
        rows.push_back(
            {"fcrypt_encrypt AES-128 8 KiB (CTR+HMAC)", std::string("ours/ctr_hmac/128") + e, "openssl/ctr_hmac/128"});
        rows.push_back(
            {"fcrypt_encrypt AES-256 8 KiB (CTR+HMAC)", std::string("ours/ctr_hmac/256") + e, "openssl/ctr_hmac/256"});
    }
    rows.push_back({"encrypt_buffer 8 MiB (AES-128)", "ours/encrypt_buffer", "openssl/buffer"});
    rows.push_back({"decrypt_buffer 8 MiB (AES-128)", "ours/decrypt_buffer", "openssl/buffer"});
    for (int e = 0; e < 2; ++e) {
        const std::string sfx = e == 0 ? "/0" : "/1";
        rows.push_back({"SHA-1 64 B", "ours/sha1/64" + sfx, "openssl/sha1/64"});
        rows.push_back({"SHA-1 8 KiB", "ours/sha1/8192" + sfx, "openssl/sha1/8192"});
        rows.push_back({"HMAC-SHA1 64 B", "ours/hmac/64" + sfx, "openssl/hmac/64"});
        for (const char *len : {"34", "50", "66"})
            rows.push_back({std::string("PBKDF2 1000 it, ") + len + " B", "ours/pbkdf2/" + std::string(len) + sfx,
                            "openssl/pbkdf2/" + std::string(len)});
        rows.push_back({"enc_enc_str 40 chars", "ours/enc_enc_str" + sfx, "openssl/enc_str"});
        rows.push_back({"enc_dec_str 40 chars", "ours/enc_dec_str" + sfx, "openssl/enc_str"});
    }
    for (const auto &r : rows) {
        const double o = get(ours, r.ours_key);
        if (o <= 0) continue;
        const bool aes = r.ours_key.rfind("ours/aes", 0) == 0 || r.ours_key.rfind("ours/ctr", 0) == 0;
        const bool whole = r.ours_key.find("_buffer") != std::string::npos;
        const char *impl = whole ? "auto"
                           : aes ? (r.ours_key.back() == '0' ? bwv::crypto::kAesPortable.name : "aes-ni")
                                 : (r.ours_key.back() == '0' ? bwv::crypto::sha1_portable_engine().name : "sha-ext");
        std::printf("%-44s %-14s", r.label.c_str(), impl);
        for (const auto &v : kVariants) {
            const double t = get(theirs.at(v.label), r.theirs_key);
            if (t > 0)
                std::printf(" %12.2f", t / o);
            else
                std::printf(" %12s", "-");
        }
        std::printf("\n");
    }
    // Time ratios (ours / OpenSSL's, below 1 means ours is faster) for the goals on the
    // instructions both sides have.
    const Times &native = theirs.at("native");
    auto time_ratio = [&](const char *label, const std::string &o, const std::string &t, const char *goal) {
        const double a = get(ours, o), b = get(native, t);
        if (a > 0 && b > 0) std::printf("  %-58s %6.2f   (goal %s)\n", label, a / b, goal);
    };
    std::printf("\nTime of ours / time of OpenSSL native (below 1 means ours is faster):\n");
    time_ratio("encrypt_buffer 8 MiB / AES-128-CTR + HMAC-SHA1 8 MiB", "ours/encrypt_buffer", "openssl/buffer",
               "<= 1.0");
    time_ratio("decrypt_buffer 8 MiB / AES-128-CTR + HMAC-SHA1 8 MiB", "ours/decrypt_buffer", "openssl/buffer",
               "<= 1.0");
    time_ratio("aes_encrypt_block AES-128, AES instructions / EVP block", "ours/aes_block/128/1",
               "openssl/aes_block/128", "<= 2.0, i.e. >= 0.5 x its throughput");
    std::printf(
        "\nGoals: derive_key time <= 0.7 x OpenSSL PBKDF2 on the same kind of SHA-1 code (portable vs\n"
        "masked/scalar, sha-ext vs native): speed ratio >= 1.43 in those columns; SHA-1 8 KiB (portable)\n"
        ">= 0.9 x OpenSSL scalar; AES-128 >= 0.9 x OpenSSL scalar (its table code).\n");
}

}  // namespace

int main(int argc, char **argv) {
    bool child = false;
    std::vector<char *> args;
    std::vector<std::string> passthrough;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bwv-child") == 0) {
            child = true;
            continue;
        }
        args.push_back(argv[i]);
        if (i > 0) passthrough.emplace_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    register_all(child);

    Times times;
    if (child) {
        Collector quiet(times, true);
        benchmark::RunSpecifiedBenchmarks(&quiet);
        for (const auto &[k, v] : times) std::printf("BWVTIME %s %.3f\n", k.c_str(), v);
        benchmark::Shutdown();
        return 0;
    }
    Collector loud(times, false);
    benchmark::RunSpecifiedBenchmarks(&loud);
    benchmark::Shutdown();

    std::map<std::string, Times> theirs;
    Times native;
    for (const auto &[k, v] : times)
        if (k.rfind("openssl/", 0) == 0) native[k] = v;
    theirs["native"] = native;
    for (const auto &v : kVariants) {
        if (v.cap == nullptr) continue;
        std::fprintf(stderr, "running OpenSSL with OPENSSL_ia32cap=\"%s\" (%s)...\n", v.cap, v.label);
        theirs[v.label] = run_child(v.cap, passthrough);
    }
    std::printf("\nOpenSSL CPU times (ns per iteration):\n");
    for (const auto &[k, v] : native) {
        std::printf("  %-28s", k.c_str());
        for (const auto &var : kVariants) {
            auto it = theirs[var.label].find(k);
            std::printf("  %s %12.1f", var.label, it == theirs[var.label].end() ? 0.0 : it->second);
        }
        std::printf("\n");
    }
    print_ratios(times, theirs);
    return 0;
}
