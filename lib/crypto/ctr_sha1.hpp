#ifndef BWV_CRYPTO_CTR_SHA1_HPP
#define BWV_CRYPTO_CTR_SHA1_HPP

// Counter mode and SHA-1 of the cipher text in one pass, for the buffer encryption. The
// hash is the longer of the two chains; run side by side, the cipher fills the gaps in it
// and costs next to nothing.

#include <bwvutil/aes.h>

#include <cstddef>
#include <cstdint>

namespace bwv::crypto {

// n64 blocks of 64 bytes, four counter blocks each, with counter and keystream left as
// AesCtrFn leaves them and h the SHA-1 chaining value carried on. `seal` encrypts `in`
// into `out` and hashes `out`; `open` hashes `in` and decrypts it into `out`. ctx must
// hold an encryption schedule.
using CtrSha1Fn = void (*)(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16],
                           std::uint32_t h[5], const unsigned char *in, unsigned char *out, std::size_t n64);

struct CtrSha1Pass {
    CtrSha1Fn seal, open;
};

// Null unless the CPU has both the AES and the SHA instructions.
const CtrSha1Pass *ctr_sha1_native();

}  // namespace bwv::crypto

#endif
