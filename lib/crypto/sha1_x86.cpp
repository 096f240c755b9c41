// SHA-1 compression on the x86 SHA extensions. Compiled for the generic target; the
// functions carry their own target attributes and are only reached after the CPU
// reported the instructions.

#include "lib/crypto/sha1_impl.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include "lib/crypto/sha1_x86.hpp"

namespace bwv::crypto {
namespace {

using namespace sha1_x86;

BWV_SHA_TARGET void native_blocks(std::uint32_t h[5], const unsigned char *data, std::size_t nblocks) {
    const __m128i swap = byte_swap_mask();
    __m128i abcd, e0;
    load_state(h, abcd, e0);
    for (; nblocks != 0; --nblocks, data += 64) {
        auto load = [data, swap](int i) BWV_SHA_TARGET {
            return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), swap);
        };
        one_block(abcd, e0, load);
    }
    store_state(h, abcd, e0);
}

BWV_SHA_TARGET void native_words(std::uint32_t h[5], const std::uint32_t w[16]) {
    __m128i abcd, e0;
    load_state(h, abcd, e0);
    auto load = [w](int i) BWV_SHA_TARGET {
        return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 4 * i)), 0x1B);
    };
    one_block(abcd, e0, load);
    store_state(h, abcd, e0);
}

bool cpu_has_sha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!ssse3 || !sse41) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return b & (1u << 29);
}

const Sha1Engine kNative = {native_blocks, native_words, "sha-ext"};

}  // namespace

const Sha1Engine *sha1_native_engine() {
    static const bool available = cpu_has_sha();
    return available ? &kNative : nullptr;
}

}  // namespace bwv::crypto

#else

namespace bwv::crypto {
const Sha1Engine *sha1_native_engine() { return nullptr; }
}  // namespace bwv::crypto

#endif
