#ifndef BWV_CRYPTO_AES_IMPL_HPP
#define BWV_CRYPTO_AES_IMPL_HPP

// Internal AES entry points shared by the block functions and the counter mode of the
// buffer encryption. Two implementations exist: the table code, and one on the CPU's AES
// instructions where present. Both read the schedule exactly as aes_ctx holds it, so a
// context set up once serves either.

#include <bwvutil/aes.h>

#include <cstddef>

namespace bwv::crypto {

// One block; the caller has checked that ctx holds a schedule for the direction.
using AesBlockFn = void (*)(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx);
// nblocks whole blocks of counter mode: for each, the little-endian 64-bit counter in
// bytes 0-7 of `counter` goes up by one (bytes 8-15 are used as they are), its encryption
// is XORed from `in` into `out` (which may be the same), and the last one is left in
// `keystream`. ctx must hold an encryption schedule.
using AesCtrFn = void (*)(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16],
                          const unsigned char *in, unsigned char *out, std::size_t nblocks);

struct AesEngine {
    AesBlockFn encrypt, decrypt;
    AesCtrFn ctr;
    const char *name;
};

extern const AesEngine kAesPortable;
// Null when the CPU (or the build target) has no AES instructions.
const AesEngine *aes_native_engine();

// The engine in use: the native one when available, else the table code.
const AesEngine &aes_engine();

// For tests and benchmarks that must check or measure one implementation: pins the
// engine process-wide (nullptr returns to automatic choice). Not for production callers.
void aes_pin_engine(const AesEngine *engine);

// A schedule for the wanted direction (1 encrypt, 2 decrypt), with a round count that
// stays inside ks[] even if the caller's context was scribbled on.
inline bool aes_usable(const aes_ctx *ctx, unsigned direction_bit) {
    return ctx != nullptr && (ctx->inf & direction_bit) && ctx->rounds >= 10 && ctx->rounds <= 14;
}

}  // namespace bwv::crypto

#endif
