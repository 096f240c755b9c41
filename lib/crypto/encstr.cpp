#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>

#include <cstdlib>
#include <cstring>

#include "lib/crypto/wipe.hpp"

namespace {

// Shared by every installation: the "Enc " form keeps values out of casual sight in
// configuration files, nothing more. Anyone holding the library holds this too.
constexpr char kPassphrase[] = "qz_1A2Green3Owl4Sailed5Past6A7Calm8Bay";
constexpr char kPrefix[] = "Enc ";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
// Room for the mode-2 overhead (12 + 2 + 10), with the margin encrypt_buffer demands.
constexpr std::size_t kEncSlack = 93;

}  // namespace

extern "C" {

char *enc_dec_str(const char *value) {
    if (value == nullptr) return nullptr;
    const std::size_t n = std::strlen(value);
    if (n == 0) return static_cast<char *>(std::calloc(1, 1));
    // Lengths cross into the int-sized buffer functions below.
    if (n > static_cast<std::size_t>(INT32_MAX) - 1) return nullptr;

    auto *result = static_cast<char *>(std::calloc(n + 1, 1));
    if (result == nullptr) return nullptr;
    auto *work = static_cast<unsigned char *>(std::calloc(n + 1, 1));
    if (work == nullptr) {
        std::free(result);
        return nullptr;
    }
    if (n < kPrefixLen || std::memcmp(value, kPrefix, kPrefixLen) != 0) {
        std::memcpy(result, value, n);
        std::free(work);
        return result;
    }

    int bin_len = static_cast<int>(n + 1);
    if (hex2bin(value + kPrefixLen, static_cast<int>(n - kPrefixLen), work, &bin_len) != 0) {
        std::free(work);
        std::free(result);
        return nullptr;
    }
    int out_len = static_cast<int>(n + 1);
    const int rc = decrypt_buffer(work, bin_len, reinterpret_cast<unsigned char *>(result), &out_len, kPassphrase);
    std::free(work);
    if (rc != 0) {
        // On a code mismatch the buffer holds unauthenticated bytes; they go nowhere.
        bwv::crypto::wipe(result, n + 1);
        std::free(result);
        return nullptr;
    }
    return result;
}

char *enc_enc_str(const char *value) {
    if (value == nullptr) return nullptr;
    const std::size_t n = std::strlen(value);
    // The text buffer is 3 * (n + 93) + 4 bytes and must stay within int lengths.
    if (n > (static_cast<std::size_t>(INT32_MAX) - 4) / 3 - kEncSlack) return nullptr;

    const std::size_t cap = n + kEncSlack;
    auto *bytes = static_cast<unsigned char *>(std::calloc(cap, 1));
    if (bytes == nullptr) return nullptr;
    auto *text = static_cast<char *>(std::calloc(3 * cap + kPrefixLen, 1));
    if (text == nullptr) {
        std::free(bytes);
        return nullptr;
    }
    std::memcpy(text, kPrefix, kPrefixLen);

    int len = static_cast<int>(cap);
    // The terminating NUL is encrypted too, so a decrypted value carries its own end.
    int rc = encrypt_buffer(reinterpret_cast<const unsigned char *>(value), static_cast<int>(n + 1), bytes, &len,
                            kPassphrase);
    if (rc == 0) {
        int text_len = static_cast<int>(3 * cap);
        rc = bin2hex(bytes, len, text + kPrefixLen, &text_len);
    }
    std::free(bytes);
    if (rc != 0) {
        std::free(text);
        return nullptr;
    }
    return text;
}

}  // extern "C"
