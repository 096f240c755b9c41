#include <bwvutil/fcrypt.h>
#include <bwvutil/prng.h>
#include <bwvutil/pwd2key.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "lib/base/hex.hpp"
#include "lib/crypto/aes_impl.hpp"
#include "lib/crypto/ctr_sha1.hpp"
#include "lib/crypto/sha1_impl.hpp"
#include "lib/crypto/wipe.hpp"

using bwv::crypto::wipe;
using bwv::crypto::wipe_obj;

namespace {

constexpr unsigned kBlock = 16;
constexpr unsigned kMaxKey = 32;
constexpr int kWorkPwd = 1025;  // at most 1024 password characters are ever looked at

void next_keystream(fcrypt_ctx *cx) {
    // Little-endian 64-bit counter; the upper half of the block never changes.
    for (int i = 0; i < 8 && ++cx->counter[i] == 0; ++i) {
    }
    aes_encrypt_block(cx->counter, cx->keystream, &cx->cipher);
}

inline void xor16(const unsigned char *in, unsigned char *out, const unsigned char *ks) {
    std::uint64_t a[2], b[2];
    std::memcpy(a, in, 16);
    std::memcpy(b, ks, 16);
    a[0] ^= b[0];
    a[1] ^= b[1];
    std::memcpy(out, a, 16);
}

// The counter-mode transform from `in` to `out` (the same buffer or apart). Whole blocks
// go to the engine in one run so it can keep several counters in flight.
void crypt_into(const unsigned char *in, unsigned char *out, unsigned int len, fcrypt_ctx *cx) {
    std::uint32_t pos = cx->ks_pos;
    unsigned int i = 0;
    while (i < len && pos < kBlock) {
        out[i] = in[i] ^ cx->keystream[pos++];
        ++i;
    }
    const unsigned int whole = (len - i) / kBlock;
    if (whole != 0 && bwv::crypto::aes_usable(&cx->cipher, 1)) {
        bwv::crypto::aes_engine().ctr(&cx->cipher, cx->counter, cx->keystream, in + i, out + i, whole);
        i += whole * kBlock;
    }
    // Only a scribbled cipher gets here with whole blocks: the counter still advances and
    // aes_encrypt_block refuses, as it always did.
    for (; len - i >= kBlock; i += kBlock) {
        next_keystream(cx);
        xor16(in + i, out + i, cx->keystream);
    }
    while (i < len) {
        if (pos == kBlock) {
            next_keystream(cx);
            pos = 0;
        }
        out[i] = in[i] ^ cx->keystream[pos++];
        ++i;
    }
    cx->ks_pos = pos;
}

// Where cipher and hash both run on the processor's instructions, the whole 64-byte
// blocks of a buffer go through them in one pass; returns the bytes done. Only at a block
// edge on both sides, which a fresh stream is.
unsigned one_pass(const unsigned char *in, unsigned char *out, unsigned len, fcrypt_ctx *cx, bool seal) {
    using namespace bwv::crypto;
    const CtrSha1Pass *pass = ctr_sha1_native();
    if (pass == nullptr || &aes_engine() != aes_native_engine() || &sha1_engine() != sha1_native_engine() || len < 64 ||
        cx->ks_pos != kBlock || !aes_usable(&cx->cipher, 1))
        return 0;
    hmac_sha1_data(nullptr, 0, &cx->auth);  // ends the key phase: the inner hash is under way
    sha1_ctx &h = cx->auth.ctx;
    if ((h.count[0] & 63) != 0) return 0;
    const unsigned n64 = len / 64;
    (seal ? pass->seal : pass->open)(&cx->cipher, cx->counter, cx->keystream, h.hash, in, out, n64);
    const std::uint32_t bytes = n64 * 64;
    if ((h.count[0] += bytes) < bytes) ++h.count[1];
    return bytes;
}

// Otherwise a buffer goes through cipher and code a slice at a time, so the code reads
// each slice while it is still in cache instead of in a second pass over the whole
// buffer; pieces equal one call, so the result is the same.
constexpr unsigned kSlice = 16 * 1024;

void seal_into(const unsigned char *in, unsigned char *out, unsigned len, fcrypt_ctx *cx) {
    for (unsigned done = one_pass(in, out, len, cx, true); done < len;) {
        const unsigned n = len - done < kSlice ? len - done : kSlice;
        crypt_into(in + done, out + done, n, cx);
        hmac_sha1_data(out + done, n, &cx->auth);
        done += n;
    }
}

void open_into(const unsigned char *in, unsigned char *out, unsigned len, fcrypt_ctx *cx) {
    for (unsigned done = one_pass(in, out, len, cx, false); done < len;) {
        const unsigned n = len - done < kSlice ? len - done : kSlice;
        hmac_sha1_data(in + done, n, &cx->auth);
        crypt_into(in + done, out + done, n, cx);
        done += n;
    }
}

// Compares without an early exit, so the time taken says nothing about where a forged
// code first differs.
bool same_bytes(const unsigned char *a, const unsigned char *b, unsigned n) {
    unsigned char diff = 0;
    for (unsigned i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

int mode_for(std::size_t pwd_len) { return pwd_len < 32 ? 1 : pwd_len < 48 ? 2 : 3; }

// After the key is set up: the layout's remaining lengths, the password check, then the
// body and its code, in that order.
int open_body(const unsigned char *in, int in_len, int slen, const unsigned char *ver, unsigned char *out, int *out_len,
              fcrypt_ctx *cx) {
    if (in_len - slen < FCRYPT_PWD_VER_LENGTH) return FCRYPT_ERR_SPACE;
    if (std::memcmp(in + slen, ver, FCRYPT_PWD_VER_LENGTH) != 0) return FCRYPT_ERR_PASSWORD;
    if (in_len - slen - FCRYPT_PWD_VER_LENGTH < FCRYPT_MAC_LENGTH) return FCRYPT_ERR_SPACE;
    const int n = in_len - slen - FCRYPT_PWD_VER_LENGTH - FCRYPT_MAC_LENGTH;
    if (out == nullptr && n != 0) return FCRYPT_ERR_ARG;
    *out_len = n;
    open_into(in + slen + FCRYPT_PWD_VER_LENGTH, out, static_cast<unsigned>(n), cx);
    unsigned char mac[FCRYPT_MAC_LENGTH];
    fcrypt_end(mac, cx);
    return same_bytes(mac, in + in_len - FCRYPT_MAC_LENGTH, FCRYPT_MAC_LENGTH) ? 0 : FCRYPT_ERR_AUTH;
}

// Both directions take the working copy of the password and wipe it once the key is
// derived, or as soon as the call is refused before that.

int seal_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, char (&pwd)[kWorkPwd],
                std::size_t plen) {
    const int mode = mode_for(plen);
    const int slen = FCRYPT_SALT_LENGTH(mode);
    if (std::int64_t{in_len} + FCRYPT_MAX_OVERHEAD > *out_len) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_SPACE;
    }
    if (in_len < 0 || out == nullptr || (in == nullptr && in_len != 0)) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_ARG;
    }
    prng_ctx rng;
    unsigned char salt[16];
    prng_init(entropy_fun, &rng);
    prng_rand(salt, static_cast<unsigned>(slen), &rng);
    // Set up before anything reaches the output, so a refused password leaves it as
    // it was.
    unsigned char ver[FCRYPT_PWD_VER_LENGTH];
    fcrypt_ctx cx;
    const int rc =
        fcrypt_init(mode, reinterpret_cast<const unsigned char *>(pwd), static_cast<unsigned>(plen), salt, ver, &cx);
    wipe(pwd, sizeof pwd);
    if (rc != 0) {
        prng_end(&rng);
        return rc;
    }
    std::memcpy(out, salt, static_cast<std::size_t>(slen));
    std::memcpy(out + slen, ver, FCRYPT_PWD_VER_LENGTH);
    unsigned char *body = out + slen + FCRYPT_PWD_VER_LENGTH;
    seal_into(in, body, static_cast<unsigned>(in_len), &cx);
    fcrypt_end(body + in_len, &cx);
    *out_len = slen + FCRYPT_PWD_VER_LENGTH + in_len + FCRYPT_MAC_LENGTH;
    prng_end(&rng);
    wipe_obj(cx);
    return 0;
}

int open_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, char (&pwd)[kWorkPwd],
                std::size_t plen) {
    const int mode = mode_for(plen);
    const int slen = FCRYPT_SALT_LENGTH(mode);
    // The capacity rule asks for in_len + 20 although at most in_len - 20 bytes come out;
    // callers size their buffers by it, so it stays.
    // A negative input length is simply too short for the layout.
    if (std::int64_t{*out_len} - 20 < in_len || slen > in_len) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_SPACE;
    }
    if (in == nullptr) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_ARG;
    }
    unsigned char ver[FCRYPT_PWD_VER_LENGTH];
    fcrypt_ctx cx;
    const int rc =
        fcrypt_init(mode, reinterpret_cast<const unsigned char *>(pwd), static_cast<unsigned>(plen), in, ver, &cx);
    wipe(pwd, sizeof pwd);
    if (rc != 0) return rc;
    const int status = open_body(in, in_len, slen, ver, out, out_len, &cx);
    wipe_obj(cx);
    return status;
}

}  // namespace

extern "C" {

int fcrypt_init(int mode, const unsigned char *pwd, unsigned int pwd_len, const unsigned char *salt,
                unsigned char pwd_ver[2], fcrypt_ctx *cx) {
    if (pwd_len > FCRYPT_MAX_PWD_LENGTH) return FCRYPT_ERR_LONG_PWD;
    if (mode < 1 || mode > 3) return FCRYPT_ERR_MODE;
    if ((pwd == nullptr && pwd_len != 0) || salt == nullptr || pwd_ver == nullptr || cx == nullptr)
        return FCRYPT_ERR_ARG;

    const unsigned klen = FCRYPT_KEY_LENGTH(mode);
    unsigned char kbuf[2 * kMaxKey + FCRYPT_PWD_VER_LENGTH];
    cx->mode = static_cast<std::uint32_t>(mode);
    cx->pwd_len = pwd_len;
    derive_key(pwd, pwd_len, salt, FCRYPT_SALT_LENGTH(mode), FCRYPT_KEYING_ITERATIONS, kbuf,
               2 * klen + FCRYPT_PWD_VER_LENGTH);
    cx->ks_pos = kBlock;
    std::memset(cx->counter, 0, sizeof cx->counter);
    // Never read before the first block is made; zero so a fresh context holds nothing
    // left over from the caller's memory.
    std::memset(cx->keystream, 0, sizeof cx->keystream);
    aes_set_encrypt_key(kbuf, klen, &cx->cipher);
    hmac_sha1_begin(&cx->auth);
    hmac_sha1_key(kbuf + klen, klen, &cx->auth);
    pwd_ver[0] = kbuf[2 * klen];
    pwd_ver[1] = kbuf[2 * klen + 1];
    wipe(kbuf, sizeof kbuf);
    return 0;
}

void encr_data(unsigned char *data, unsigned int len, fcrypt_ctx *cx) { crypt_into(data, data, len, cx); }

void fcrypt_encrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx) {
    encr_data(data, len, cx);
    hmac_sha1_data(data, len, &cx->auth);
}

void fcrypt_decrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx) {
    hmac_sha1_data(data, len, &cx->auth);
    encr_data(data, len, cx);
}

int fcrypt_end(unsigned char mac[10], fcrypt_ctx *cx) {
    hmac_sha1_end(mac, FCRYPT_MAC_LENGTH, &cx->auth);
    return FCRYPT_MAC_LENGTH;
}

int do_encrypt_decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, int direction,
                              const char *password) {
    // Each pointer and length is checked where it is first needed, so every call the
    // password and capacity rules decide gets their answer; -1 only stands in for what
    // would otherwise be a crash.
    if (password == nullptr) return FCRYPT_ERR_ARG;

    char pwd[kWorkPwd] = {};
    std::strncpy(pwd, password, kWorkPwd - 1);
    const std::size_t plen = std::strlen(pwd);
    if (plen < 8) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_SHORT_PWD;
    }
    if (out_len == nullptr) {
        wipe(pwd, sizeof pwd);
        return FCRYPT_ERR_ARG;
    }
    if (direction != 1) return seal_buffer(in, in_len, out, out_len, pwd, plen);
    return open_buffer(in, in_len, out, out_len, pwd, plen);
}

int encrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, const char *password) {
    return do_encrypt_decrypt_buffer(in, in_len, out, out_len, 0, password);
}

int decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, const char *password) {
    return do_encrypt_decrypt_buffer(in, in_len, out, out_len, 1, password);
}

int bin2hex(const unsigned char *bin, int bin_len, char *hex, int *hex_len) {
    if (hex_len == nullptr) return FCRYPT_ERR_ARG;
    if (std::int64_t{*hex_len} < 2 * std::int64_t{bin_len} + 1) return FCRYPT_ERR_SPACE;
    // A negative count would come back as success with a negative length.
    if (bin_len < 0) return FCRYPT_ERR_ARG;
    if (bin_len == 0) {
        *hex_len = 0;
        return 0;
    }
    if (bin == nullptr || hex == nullptr) return FCRYPT_ERR_ARG;
    bwv::hex_encode(bin, static_cast<size_t>(bin_len), hex);
    hex[2 * bin_len] = '\0';
    *hex_len = 2 * bin_len;
    return 0;
}

int hex2bin(const char *hex, int hex_len, unsigned char *bin, int *bin_len) {
    if (bin_len == nullptr) return FCRYPT_ERR_ARG;
    if (hex_len % 2 != 0 || hex_len / 2 > *bin_len) return FCRYPT_ERR_SPACE;
    if (hex_len < 0) return FCRYPT_ERR_ARG;
    if (hex_len >= 2 && (hex == nullptr || bin == nullptr)) return FCRYPT_ERR_ARG;
    *bin_len = hex_len / 2;
    for (int i = 0; i + 1 < hex_len; i += 2) {
        // strtol on the pair alone: white space, a sign or a stray letter are taken the
        // way stored values have always been read.
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        bin[i / 2] = static_cast<unsigned char>(std::strtol(pair, nullptr, 16));
    }
    return 0;
}

int encrypt_file(const char *in_path, const char *out_path, const char *password) {
    if (in_path == nullptr || out_path == nullptr || password == nullptr) return FCRYPT_ERR_ARG;
    // "e": close-on-exec, so a child started meanwhile on another thread inherits neither
    // the plain text nor the output.
    std::FILE *fin = std::fopen(in_path, "re");
    if (fin == nullptr) return FCRYPT_ERR_OPEN_INPUT;

    // A directory opens for reading here but has no size to speak of.
    struct stat st;
    long size = -1;
    if (fstat(fileno(fin), &st) == 0 && !S_ISDIR(st.st_mode) && std::fseek(fin, 0, SEEK_END) == 0)
        size = std::ftell(fin);
    if (size < 0 || std::fseek(fin, 0, SEEK_SET) != 0) {
        std::fclose(fin);
        return FCRYPT_ERR_READ_INPUT;
    }
    if (size > INT32_MAX - FCRYPT_MAX_OVERHEAD) {
        std::fclose(fin);
        return FCRYPT_ERR_TOO_LARGE;
    }
    auto *plain = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(size) + 1));
    if (plain == nullptr) {
        std::fclose(fin);
        return FCRYPT_ERR_NO_MEMORY;
    }
    const std::size_t got = std::fread(plain, 1, static_cast<std::size_t>(size), fin);
    const bool read_ok = got == static_cast<std::size_t>(size) && !std::ferror(fin);
    std::fclose(fin);
    if (!read_ok) {
        std::free(plain);
        return FCRYPT_ERR_READ_INPUT;
    }

    std::FILE *fout = std::fopen(out_path, "wbe");
    if (fout == nullptr) {
        wipe(plain, static_cast<std::size_t>(size));
        std::free(plain);
        return FCRYPT_ERR_CREATE_OUTPUT;
    }
    int cap = static_cast<int>(size) + FCRYPT_MAX_OVERHEAD;
    auto *enc = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(cap), 1));
    int rc = FCRYPT_ERR_NO_MEMORY;
    if (enc != nullptr) rc = encrypt_buffer(plain, static_cast<int>(size), enc, &cap, password);
    if (rc == 0 && std::fwrite(enc, 1, static_cast<std::size_t>(cap), fout) != static_cast<std::size_t>(cap))
        rc = FCRYPT_ERR_WRITE_OUTPUT;
    if (std::fclose(fout) != 0 && rc == 0) rc = FCRYPT_ERR_WRITE_OUTPUT;
    // A failed run leaves an empty output rather than zeros or a torn file.
    if (rc != 0) {
        if (std::FILE *trunc = std::fopen(out_path, "wbe")) std::fclose(trunc);
    }
    wipe(plain, static_cast<std::size_t>(size));
    std::free(plain);
    std::free(enc);
    return rc;
}

}  // extern "C"
