#ifndef BWV_TESTS_CRYPTO_UTIL_HPP
#define BWV_TESTS_CRYPTO_UTIL_HPP

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "crypto/aes_impl.hpp"
#include "crypto/sha1_impl.hpp"

namespace bwv_test {

using Bytes = std::vector<unsigned char>;

inline std::string hex(const unsigned char *p, std::size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}

inline std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

// Property tests draw from one fixed seed, printed so a failure can be replayed.
inline std::mt19937_64 seeded_rng(const char *what) {
    constexpr std::uint64_t kSeed = 0xB1D1E5EEDull;
    std::printf("[ seed     ] %s: 0x%llx\n", what, static_cast<unsigned long long>(kSeed));
    return std::mt19937_64(kSeed);
}

inline std::size_t uniform(std::mt19937_64 &rng, std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

inline Bytes random_bytes(std::mt19937_64 &rng, std::size_t n) {
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

// Splits [0, n) into random consecutive pieces, some of them empty.
inline std::vector<std::size_t> random_cuts(std::mt19937_64 &rng, std::size_t n) {
    std::vector<std::size_t> cuts{0};
    while (cuts.back() < n) cuts.push_back(cuts.back() + uniform(rng, 0, std::min<std::size_t>(n - cuts.back(), 150)));
    return cuts;
}

// Runs body once for every pairing of the AES and SHA-1 engines this machine has, each
// pinned process-wide, so the table code and the portable hash are checked even where
// the processor's instructions would be chosen.
template <typename Body>
void on_every_engine(Body body) {
    using namespace bwv::crypto;
    std::vector<const AesEngine *> aes{&kAesPortable};
    if (const auto *n = aes_native_engine()) aes.push_back(n);
    std::vector<const Sha1Engine *> sha{&kSha1Portable};
    for (const auto *e : {sha1_bmi2_engine(), sha1_native_engine()})
        if (e != nullptr) sha.push_back(e);
    for (const auto *a : aes)
        for (const auto *s : sha) {
            SCOPED_TRACE(std::string(a->name) + " + " + s->name);
            aes_pin_engine(a);
            sha1_pin_engine(s);
            body();
        }
    aes_pin_engine(nullptr);
    sha1_pin_engine(nullptr);
}

}  // namespace bwv_test

#endif
