// dic_load_from_file and dic_load_from_fd on arbitrary bytes: XML, binary and anything else
// a property-list file may turn out to hold. The descriptor starts mid-file: the whole file
// is parsed and the offset is left where it was.
#include <bwvutil/dic.h>

#include <fcntl.h>
#include <unistd.h>

#include "fuzz/dic_walk.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = bwv::fuzz::scratch_dir() + "/in.plist";
    static const std::string out = bwv::fuzz::scratch_dir() + "/out.plist";
    bwv::fuzz::write_file(in, data, size);
    int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    const off_t start = static_cast<off_t>(size / 2);
    lseek(fd, start, SEEK_SET);
    if (dic *frozen = dic_load_from_fd(fd)) {
        bwv::fuzz::walk_dic(frozen, 0);
        // A descriptor's load is immutable.
        BWV_FUZZ_CHECK(dic_set_str(frozen, "fuzz.marker", "x") == -1);
        dic_destroy(frozen);
    }
    BWV_FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == start);
    close(fd);
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
