// gmsg_parse_buffer on what a peer may send: a 12-byte header, a keyed archive, a zero
// byte. Whatever decodes is read back through the getters and archived again.
#include <bwvutil/gmsg.h>
#include <bwvutil/plobj.h>

#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.hpp"

static const char *const kKeys[] = {"_c_type_", "_m_type_", "name", "data", "msg", "value", "0"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy, so a read past the end is caught.
    std::vector<uint8_t> buf(data, data + size);
    gmsg *m = gmsg_parse_buffer(buf.data(), static_cast<int>(buf.size()));
    if (size <= 12) {
        BWV_FUZZ_CHECK(m == nullptr);
        return 0;
    }
    if (!m) return 0;
    for (const char *k : kKeys) {
        (void)gmsg_get_str(m, k);
        int need = gmsg_get_str_r(m, k, nullptr, 0);
        if (need > 0) {
            std::vector<char> text(static_cast<size_t>(need));
            gmsg_get_str_r(m, k, text.data(), need);
        }
        (void)gmsg_get_int(m, k);
        uint32_t len = 0;
        (void)gmsg_get_bin(m, k, &len);
        if (gmsg *nested = gmsg_get_msg(m, k)) gmsg_release(nested);
    }
    int desc_len = 0;
    gmsg_get_desc(m, nullptr, &desc_len);
    if (desc_len > 0 && desc_len < (1 << 20)) {
        std::vector<char> desc(static_cast<size_t>(desc_len) * 3 + 1);
        int n = static_cast<int>(desc.size());
        gmsg_get_desc(m, desc.data(), &n);
    }
    uint32_t out_len = 0;
    if (void *again = gmsg_gen_buffer(m, &out_len)) {
        // What the library archives, it reads back.
        gmsg *copy = gmsg_parse_buffer(again, static_cast<int>(out_len));
        BWV_FUZZ_CHECK(copy != nullptr);
        gmsg_release(copy);
        std::free(again);
    }
    gmsg_release(m);
    return 0;
}
