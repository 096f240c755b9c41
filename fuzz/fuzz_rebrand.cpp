// The rebrand text reader (getbwvtxt_ex with a path). It fills a process-wide cache on
// the first lookup, so its source is built into this target, where the cache can be
// dropped after every input; the library's own copy is then not linked in.
#include "lib/custom/rebrand.cpp"

#include <cstring>

#include "fuzz/fuzz_support.hpp"

static const char *const kKeys[] = {"ProductName", "CompanyName", "Greeting", "x", "_c_type_", "_m_type_"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = bwv::fuzz::scratch_dir() + "/rebrand_text.plist";
    bwv::fuzz::write_file(in, data, size);
    static const char kDefault[] = "default";
    for (const char *key : kKeys) {
        const char *text = getbwvtxt_ex(in.c_str(), key, kDefault);
        BWV_FUZZ_CHECK(text != nullptr);
        // A text from the file is never empty: empty values fall back to the default.
        BWV_FUZZ_CHECK(*text != '\0');
        (void)std::strlen(text);
    }
    gmsg_release(strmap.exchange(nullptr));
    return 0;
}
