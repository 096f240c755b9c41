// enc_dec_str on configuration values as read from disk: clear text comes back as it is,
// an "Enc " value decrypts or gives NULL, and a value it sealed itself opens again.
#include <bwvutil/encstr.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;
    const std::string value(reinterpret_cast<const char *>(data), size);
    const char *c = value.c_str();  // stops at the first NUL, as a C caller's would
    const size_t n = std::strlen(c);

    char *clear = enc_dec_str(c);
    if (n < 4 || std::memcmp(c, "Enc ", 4) != 0) {
        BWV_FUZZ_CHECK(clear != nullptr && std::strcmp(clear, c) == 0);
    }
    std::free(clear);

    char *sealed = enc_enc_str(c);
    BWV_FUZZ_CHECK(sealed != nullptr && std::strncmp(sealed, "Enc ", 4) == 0);
    char *opened = enc_dec_str(sealed);
    BWV_FUZZ_CHECK(opened != nullptr && std::strcmp(opened, c) == 0);
    std::free(opened);
    std::free(sealed);
    return 0;
}
