// dic_load_from_file on arbitrary bytes: XML, binary and anything else a property-list
// file may turn out to hold.
#include <bwvutil/dic.h>

#include "fuzz/dic_walk.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = bwv::fuzz::scratch_dir() + "/in.plist";
    static const std::string out = bwv::fuzz::scratch_dir() + "/out.plist";
    bwv::fuzz::write_file(in, data, size);
    dic *d = dic_load_from_file(in.c_str());
    if (!d) return 0;
    bwv::fuzz::walk_dic(d, 0);
    // The loaded dictionary is mutable, and what it saves must load again.
    BWV_FUZZ_CHECK(dic_set_str(d, "fuzz.marker", "x") == 0);
    if (dic_save_to_file(d, out.c_str()) == 0) {
        dic *again = dic_load_from_file(out.c_str());
        BWV_FUZZ_CHECK(again != nullptr);
        BWV_FUZZ_CHECK(dic_get_count(again) == dic_get_count(d));
        dic_destroy(again);
    }
    dic_destroy(d);
    return 0;
}
