// Published known answers, kept as data in vectors/*.txt with their sources, and the
// generator, which has none.

#include <bwvutil/aes.h>
#include <bwvutil/hmac.h>
#include <bwvutil/prng.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/sha1.h>

#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

struct Vector {
    std::string where, kind;
    std::vector<Bytes> f;
};

// Fields are hex, or "text" where they are quoted; a field "*N" repeats the one before.
std::vector<Vector> read_vectors() {
    std::vector<Vector> all;
    for (const char *name : {"aes", "sha1", "hmac", "pbkdf2"}) {
        std::ifstream file(std::string(BWV_CRYPTO_VECTORS) + "/" + name + ".txt");
        EXPECT_TRUE(file) << name;
        std::string line, tok;
        for (int no = 1; std::getline(file, line); ++no) {
            Vector v{std::string(name) + ".txt:" + std::to_string(no), {}, {}};
            std::istringstream in(line);
            while (line[0] != '#' && in >> std::ws && !in.eof()) {
                const bool text = in.peek() == '"';
                in >> std::quoted(tok);
                Bytes b = text ? Bytes(tok.begin(), tok.end()) : Bytes();
                for (std::size_t i = 0; !text && !v.kind.empty() && tok[0] != '*' && i + 1 < tok.size(); i += 2)
                    b.push_back(static_cast<unsigned char>(std::stoul(tok.substr(i, 2), nullptr, 16)));
                if (v.kind.empty()) {
                    v.kind = tok;
                } else if (!text && tok[0] == '*') {
                    const Bytes one = v.f.back();
                    for (unsigned long n = std::stoul(tok.substr(1)); n > 1; --n)
                        v.f.back().insert(v.f.back().end(), one.begin(), one.end());
                } else {
                    v.f.push_back(b);
                }
            }
            if (!v.kind.empty()) all.push_back(v);
        }
    }
    return all;
}

void check_aes(const Bytes &key, const Bytes &plain, const Bytes &cipher) {
    const auto n = static_cast<unsigned>(key.size());
    for (unsigned len : {n, 8 * n}) {
        aes_ctx enc, dec;
        ASSERT_EQ(aes_set_encrypt_key(key.data(), len, &enc), 1);
        ASSERT_EQ(aes_set_decrypt_key(key.data(), len, &dec), 1);
        EXPECT_EQ(enc.rounds, n / 4 + 6);
        EXPECT_EQ(enc.inf + dec.inf, 17u + 18u);
        // Encryption in place, decryption apart and then in place.
        Bytes c = plain, p(plain.size());
        for (std::size_t b = 0; b < plain.size(); b += 16) {
            ASSERT_EQ(aes_encrypt_block(c.data() + b, c.data() + b, &enc), 1);
            ASSERT_EQ(aes_decrypt_block(c.data() + b, p.data() + b, &dec), 1);
        }
        EXPECT_EQ(hex(c), hex(cipher));
        EXPECT_EQ(p, plain);
        for (std::size_t b = 0; b < plain.size(); b += 16) aes_decrypt_block(c.data() + b, c.data() + b, &dec);
        EXPECT_EQ(c, plain);
    }
    // Both ways of giving the length make the same schedules, whatever the memory held.
    for (auto set : {aes_set_encrypt_key, aes_set_decrypt_key}) {
        aes_ctx a, b;
        std::memset(&a, 0x00, sizeof a);
        std::memset(&b, 0xC3, sizeof b);
        set(key.data(), n, &a);
        set(key.data(), 8 * n, &b);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    }
}

void check(const Vector &v) {
    const auto &f = v.f;
    if (v.kind == "aes") return check_aes(f[0], f[1], f[2]);
    Bytes out(20, 0xEE);
    const auto expect = f.back();
    if (v.kind == "sha1") {
        sha1(out.data(), f[0].data(), static_cast<uint32_t>(f[0].size()));
    } else if (v.kind == "compile") {
        sha1_ctx ctx;
        sha1_begin(&ctx);
        std::memcpy(ctx.wbuf, f[0].data(), 64);
        sha1_compile(&ctx);
        for (std::size_t i = 0; i < 20; ++i) out[i] = static_cast<unsigned char>(ctx.hash[i / 4] >> (24 - 8 * (i % 4)));
    } else if (v.kind == "hmac") {
        // A short code is a prefix, and nothing past it is written.
        hmac_sha1(f[0].data(), static_cast<uint32_t>(f[0].size()), f[1].data(), static_cast<uint32_t>(f[1].size()),
                  out.data(), static_cast<uint32_t>(expect.size()));
        EXPECT_EQ(hex(out), hex(expect) + std::string(2 * (20 - expect.size()), 'e'));
        return;
    } else if (v.kind == "pbkdf2") {
        out.assign(expect.size(), 0xEE);
        derive_key(f[0].data(), static_cast<unsigned>(f[0].size()), f[1].data(), static_cast<unsigned>(f[1].size()),
                   static_cast<unsigned>(std::stoul(std::string(f[2].begin(), f[2].end()))), out.data(),
                   static_cast<unsigned>(out.size()));
    } else {
        ADD_FAILURE() << "unknown kind " << v.kind;
    }
    EXPECT_EQ(hex(out), hex(expect));
}

TEST(KnownAnswers, EveryPublishedVectorOnEveryEngine) {
    const std::vector<Vector> vectors = read_vectors();
    ASSERT_GE(vectors.size(), 26u);
    on_every_engine([&] {
        for (const auto &v : vectors) {
            SCOPED_TRACE(v.where);
            check(v);
        }
    });
}

Bytes draw(prng_entropy_fn fn, const std::vector<unsigned> &sizes) {
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
// The same constant as entropy_fun, but one byte per call: the refill must keep asking.
int one_byte_at_a_time(unsigned char *buf, unsigned int len) { return len == 0 ? 0 : (*buf = g_constant, 1); }
int other_constant(unsigned char *buf, unsigned int len) {
    std::memset(buf, 1, len);
    return static_cast<int>(len);
}

TEST(Generator, EntropyFunWritesOneConstantIntoAtMostEightBytes) {
    unsigned char buf[16] = {0};
    EXPECT_EQ(entropy_fun(buf, 0), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(entropy_fun(buf, 3), 3);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(entropy_fun(buf + 3, 260), 8);
    EXPECT_EQ(hex(buf, 12), hex(Bytes(11, buf[0])) + "00");
}

TEST(Generator, ConstantSourceGivesOneSequenceHoweverItIsDrawnRefreshingAsSoonAsItIsUsedUp) {
    const Bytes once = draw(entropy_fun, {1000});
    EXPECT_EQ(draw(entropy_fun, {5, 7}), Bytes(once.begin(), once.begin() + 12));
    EXPECT_EQ(draw(entropy_fun, {259, 1, 0, 260, 3, 477}), once);
    EXPECT_NE(Bytes(once.begin(), once.begin() + 260), Bytes(once.begin() + 260, once.begin() + 520));
    entropy_fun(&g_constant, 1);
    EXPECT_EQ(draw(one_byte_at_a_time, {700}), Bytes(once.begin(), once.begin() + 700));
    EXPECT_NE(draw(other_constant, {64}), Bytes(once.begin(), once.begin() + 64));
    prng_ctx ctx;
    prng_init(entropy_fun, &ctx);
    unsigned char first[260];
    prng_rand(first, 260, &ctx);
    EXPECT_EQ(ctx.pos, 0u);
    EXPECT_EQ(hex(ctx.obuf, 260), hex(Bytes(once.begin() + 260, once.begin() + 520)));
    prng_end(&ctx);
    EXPECT_EQ(hex(reinterpret_cast<const unsigned char *>(&ctx), sizeof ctx), std::string(2 * sizeof ctx, '0'));
}

}  // namespace
