#ifndef BWV_CRYPTO_WIPE_HPP
#define BWV_CRYPTO_WIPE_HPP

#include <string.h>

#include <cstddef>

namespace bwv::crypto {

// Key material and password copies die on the stack right after use; a plain memset
// there is a dead store the optimiser may drop, explicit_bzero is not.
inline void wipe(void *p, std::size_t n) {
    if (p != nullptr && n != 0) explicit_bzero(p, n);
}

template <typename T>
inline void wipe_obj(T &obj) {
    wipe(&obj, sizeof obj);
}

}  // namespace bwv::crypto

#endif
