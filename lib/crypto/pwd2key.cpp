#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>

#include <cstdint>
#include <cstring>

#include "lib/crypto/sha1_impl.hpp"
#include "lib/crypto/wipe.hpp"

using namespace bwv::crypto;

namespace {

constexpr unsigned kOut = 20;

// Everything that holds password-derived state, kept together so one wipe clears it.
struct Work {
    hmac_sha1_ctx keyed;     // password in, key phase over: the inner state after ipad
    hmac_sha1_ctx salted;    // keyed plus the salt
    hmac_sha1_ctx block;     // salted plus the block index
    std::uint32_t inner[5];  // chaining value after the ipad block
    std::uint32_t outer[5];  // chaining value after the opad block
    std::uint32_t msg[16];   // one padded 20-byte message, as words
    std::uint32_t u[5];
    std::uint32_t x[5];
    std::uint32_t st[5];
    unsigned char dig[kOut];
    unsigned char index[4];
};

}  // namespace

// PBKDF2-HMAC-SHA1. Both pads are compressed once per derivation; afterwards every HMAC
// of a 20-byte U costs exactly two compressions, each starting from a by-value copy of
// the precomputed keyed state, with the one-block padding laid out once.
extern "C" void derive_key(const unsigned char *pwd, unsigned int pwd_len, const unsigned char *salt,
                           unsigned int salt_len, unsigned int iter, unsigned char *key, unsigned int key_len) {
    if (key == nullptr || key_len == 0) return;
    Work w;
    hmac_sha1_begin(&w.keyed);
    hmac_sha1_key(pwd, pwd_len, &w.keyed);
    hmac_sha1_data(nullptr, 0, &w.keyed);
    std::memcpy(w.inner, w.keyed.ctx.hash, sizeof w.inner);

    // The key block holds key ^ ipad; turn a copy into key ^ opad as words.
    std::memcpy(w.outer, kSha1Init, sizeof w.outer);
    for (int i = 0; i < 16; ++i) w.msg[i] = load_be32(w.keyed.key + 4 * i) ^ 0x6A6A6A6Au;
    sha1_words(w.outer, w.msg);

    w.salted = w.keyed;
    hmac_sha1_data(salt, salt_len, &w.salted);

    // A 20-byte message after one 64-byte pad block: 0x80, zeros, 84 bytes in bits.
    std::memset(w.msg, 0, sizeof w.msg);
    w.msg[5] = 0x80000000u;
    w.msg[15] = (64 + kOut) * 8;

    const Sha1Engine &eng = sha1_engine();
    for (unsigned blk = 1, done = 0; done < key_len; ++blk) {
        std::memset(w.x, 0, sizeof w.x);
        if (iter != 0) {
            w.block = w.salted;
            store_be32(w.index, blk);
            hmac_sha1_data(w.index, 4, &w.block);
            sha1_end(w.dig, &w.block.ctx);
            for (int i = 0; i < 5; ++i) w.msg[i] = load_be32(w.dig + 4 * i);
            std::memcpy(w.u, w.outer, sizeof w.u);
            eng.words(w.u, w.msg);
            std::memcpy(w.x, w.u, sizeof w.x);
            for (unsigned j = 1; j < iter; ++j) {
                std::memcpy(w.msg, w.u, sizeof w.u);
                std::memcpy(w.st, w.inner, sizeof w.st);
                eng.words(w.st, w.msg);
                std::memcpy(w.msg, w.st, sizeof w.st);
                std::memcpy(w.u, w.outer, sizeof w.u);
                eng.words(w.u, w.msg);
                for (int i = 0; i < 5; ++i) w.x[i] ^= w.u[i];
            }
        }
        for (int i = 0; i < 5; ++i) store_be32(w.dig + 4 * i, w.x[i]);
        const unsigned n = key_len - done < kOut ? key_len - done : kOut;
        std::memcpy(key + done, w.dig, n);
        done += n;
    }
    wipe_obj(w);
}
