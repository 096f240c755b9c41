#ifndef BWV_TESTS_CRYPTO_UTIL_HPP
#define BWV_TESTS_CRYPTO_UTIL_HPP

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha1_impl.hpp"

namespace bwv_test {

using Bytes = std::vector<unsigned char>;

inline Bytes unhex(const std::string &h) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string hex(const unsigned char *p, std::size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

inline std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

inline Bytes str_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Property tests draw from one fixed seed, printed so a failure can be replayed.
inline constexpr std::uint64_t kSeed = 0xB1D1E5EEDull;

inline std::mt19937_64 seeded_rng(const char *what) {
    std::printf("[ seed     ] %s: 0x%llx\n", what, static_cast<unsigned long long>(kSeed));
    return std::mt19937_64(kSeed);
}

inline Bytes random_bytes(std::mt19937_64 &rng, std::size_t n) {
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

inline std::size_t uniform(std::mt19937_64 &rng, std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

// Splits [0, n) into random consecutive pieces, some of them empty.
inline std::vector<std::size_t> random_cuts(std::mt19937_64 &rng, std::size_t n) {
    std::vector<std::size_t> cuts{0};
    while (cuts.back() < n) cuts.push_back(cuts.back() + uniform(rng, 0, std::min<std::size_t>(n - cuts.back(), 150)));
    return cuts;
}

// Every SHA-1 engine this machine can run, so the vectors cover each of them.
inline std::vector<const bwv::crypto::Sha1Engine *> sha1_engines() {
    std::vector<const bwv::crypto::Sha1Engine *> e{&bwv::crypto::kSha1Portable};
    if (const auto *b = bwv::crypto::sha1_bmi2_engine()) e.push_back(b);
    if (const auto *n = bwv::crypto::sha1_native_engine()) e.push_back(n);
    return e;
}

inline std::string engine_name(const ::testing::TestParamInfo<const bwv::crypto::Sha1Engine *> &info) {
    std::string s = info.param->name;
    for (auto &c : s)
        if (c == '-') c = '_';
    return s;
}

class PerSha1Engine : public ::testing::TestWithParam<const bwv::crypto::Sha1Engine *> {
protected:
    void SetUp() override { bwv::crypto::sha1_pin_engine(GetParam()); }
    void TearDown() override { bwv::crypto::sha1_pin_engine(nullptr); }
};

}  // namespace bwv_test

#endif
