// hex2bin and decrypt_buffer on stored values that may have been tampered with. The first
// byte picks one of three passwords (one per key size) and whether the rest is hex text
// or already binary; seeds are buffers encrypted under these passwords. The whole input is
// also a configuration value as read from disk: clear text comes back as it is, an "Enc "
// value decrypts or gives NULL, and a value enc_enc_str sealed opens again.
#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"

namespace {

const char *const kPasswords[] = {
    "fuzz-pw1",                                          // 8 bytes: AES-128
    "fuzz-password-for-aes-192-000000",                  // 32 bytes: AES-192
    "fuzz-password-for-aes-256-0000000000000000000000",  // 48 bytes: AES-256
};

void config_value(const std::string &value) {
    const char *c = value.c_str();  // stops at the first NUL, as a C caller's would
    char *clear = enc_dec_str(c);
    if (std::strncmp(c, "Enc ", 4) != 0) BWV_FUZZ_CHECK(clear != nullptr && std::strcmp(clear, c) == 0);
    std::free(clear);
    char *sealed = enc_enc_str(c), *opened = sealed ? enc_dec_str(sealed) : nullptr;
    BWV_FUZZ_CHECK(sealed != nullptr && std::strncmp(sealed, "Enc ", 4) == 0);
    BWV_FUZZ_CHECK(opened != nullptr && std::strcmp(opened, c) == 0);
    std::free(opened);
    std::free(sealed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    config_value(std::string(reinterpret_cast<const char *>(data), size));
    const char *password = kPasswords[(data[0] & 0x7f) % 3];
    const bool raw = (data[0] & 0x80) != 0;
    const uint8_t *rest = data + 1;
    const int rest_len = static_cast<int>(size - 1);

    std::vector<unsigned char> bin;
    if (raw) {
        bin.assign(rest, rest + rest_len);
    } else {
        bin.assign(static_cast<size_t>(rest_len / 2) + 1, 0xA5);
        int bin_len = static_cast<int>(bin.size());
        int rc = hex2bin(reinterpret_cast<const char *>(rest), rest_len, bin.data(), &bin_len);
        if (rc != 0) {
            BWV_FUZZ_CHECK(rc == FCRYPT_ERR_SPACE && rest_len % 2 != 0);
            BWV_FUZZ_CHECK(bin_len == static_cast<int>(bin.size()));
            return 0;
        }
        BWV_FUZZ_CHECK(bin_len == rest_len / 2);
        bin.resize(static_cast<size_t>(bin_len));
    }

    const int in_len = static_cast<int>(bin.size());
    const int cap = in_len + 20;
    std::vector<unsigned char> out(static_cast<size_t>(cap), 0x5A);
    int out_len = cap;
    int rc = decrypt_buffer(bin.data(), in_len, out.data(), &out_len, password);
    BWV_FUZZ_CHECK(rc == 0 || rc == FCRYPT_ERR_SPACE || rc == FCRYPT_ERR_PASSWORD || rc == FCRYPT_ERR_AUTH);
    if (rc == 0 || rc == FCRYPT_ERR_AUTH) {
        BWV_FUZZ_CHECK(out_len >= 0 && out_len <= in_len - 20);
    } else {
        // Refused before decrypting: neither the output nor its length was touched.
        BWV_FUZZ_CHECK(out_len == cap);
        for (unsigned char c : out) BWV_FUZZ_CHECK(c == 0x5A);
    }
    if (rc == 0) {
        // What opened must seal again and open to the same bytes.
        std::vector<unsigned char> sealed(static_cast<size_t>(out_len) + FCRYPT_MAX_OVERHEAD);
        int sealed_len = static_cast<int>(sealed.size());
        BWV_FUZZ_CHECK(encrypt_buffer(out.data(), out_len, sealed.data(), &sealed_len, password) == 0);
        std::vector<unsigned char> back(static_cast<size_t>(sealed_len) + 20);
        int back_len = static_cast<int>(back.size());
        BWV_FUZZ_CHECK(decrypt_buffer(sealed.data(), sealed_len, back.data(), &back_len, password) == 0);
        BWV_FUZZ_CHECK(back_len == out_len && std::memcmp(back.data(), out.data(), static_cast<size_t>(out_len)) == 0);
    }
    return 0;
}
