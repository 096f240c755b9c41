#ifndef BWV_CRYPTO_AES_TABLES_HPP
#define BWV_CRYPTO_AES_TABLES_HPP

// AES constant tables, built by the compiler from the field arithmetic of GF(2^8) so no
// hand-copied hex can be wrong. Each round table exists as four copies rotated by one
// byte, so a column needs four look-ups and no rotates. Byte 0 of a word is its least
// significant byte, matching little-endian loads of the state.

#include <array>
#include <cstdint>

namespace bwv::crypto::aes_tab {

using Table = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr std::uint8_t xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t r = 0;
    while (b != 0) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t inv = 0;
        if (x != 0) {
            for (int y = 1; y < 256; ++y) {
                if (gmul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
                    inv = static_cast<std::uint8_t>(y);
                    break;
                }
            }
        }
        // Affine map of FIPS-197 5.1.1.
        std::uint8_t b = inv;
        std::uint8_t r = b;
        for (int i = 1; i <= 4; ++i) r ^= static_cast<std::uint8_t>((b << i) | (b >> (8 - i)));
        s[x] = static_cast<std::uint8_t>(r ^ 0x63);
    }
    return s;
}

constexpr std::array<std::uint8_t, 256> make_inv_sbox(const std::array<std::uint8_t, 256> &s) {
    std::array<std::uint8_t, 256> inv{};
    for (int x = 0; x < 256; ++x) inv[s[x]] = static_cast<std::uint8_t>(x);
    return inv;
}

constexpr std::uint32_t bytes4(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return std::uint32_t{b0} | (std::uint32_t{b1} << 8) | (std::uint32_t{b2} << 16) | (std::uint32_t{b3} << 24);
}

constexpr std::uint32_t rotl8(std::uint32_t w) { return (w << 8) | (w >> 24); }

template <typename F>
constexpr Table rotated(F column) {
    Table t{};
    for (int x = 0; x < 256; ++x) {
        std::uint32_t w = column(static_cast<std::uint8_t>(x));
        for (int k = 0; k < 4; ++k) {
            t[k][x] = w;
            w = rotl8(w);
        }
    }
    return t;
}

inline constexpr std::array<std::uint8_t, 256> sbox = make_sbox();
inline constexpr std::array<std::uint8_t, 256> inv_sbox = make_inv_sbox(sbox);

// MixColumns of a column holding S(x) in row 0: (2s, s, s, 3s).
alignas(64) inline constexpr Table t_fn = rotated([](std::uint8_t x) {
    std::uint8_t s = sbox[x];
    return bytes4(gmul(s, 2), s, s, gmul(s, 3));
});
alignas(64) inline constexpr Table t_fl = rotated([](std::uint8_t x) { return bytes4(sbox[x], 0, 0, 0); });
// InvMixColumns of a column holding InvS(x) in row 0: (14s, 9s, 13s, 11s).
alignas(64) inline constexpr Table t_in = rotated([](std::uint8_t x) {
    std::uint8_t s = inv_sbox[x];
    return bytes4(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11));
});
alignas(64) inline constexpr Table t_il = rotated([](std::uint8_t x) { return bytes4(inv_sbox[x], 0, 0, 0); });
// InvMixColumns of the raw byte, for turning encryption round keys into those of the
// equivalent inverse cipher.
alignas(64) inline constexpr Table t_im = rotated([](std::uint8_t x) {
    return bytes4(gmul(x, 14), gmul(x, 9), gmul(x, 13), gmul(x, 11));
});

inline constexpr std::array<std::uint32_t, 10> t_rc = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};

static_assert(sbox[0x00] == 0x63 && sbox[0x53] == 0xED && sbox[0xFF] == 0x16);
static_assert(inv_sbox[0x63] == 0x00);

}  // namespace bwv::crypto::aes_tab

#endif
