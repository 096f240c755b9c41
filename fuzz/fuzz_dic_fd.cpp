// dic_load_from_fd on arbitrary bytes behind a descriptor, with the offset somewhere in
// the file: the whole file is parsed and the offset is left where it was.
#include <bwvutil/dic.h>

#include <fcntl.h>
#include <unistd.h>

#include "fuzz/dic_walk.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = bwv::fuzz::scratch_dir() + "/in-fd.plist";
    bwv::fuzz::write_file(in, data, size);
    int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    off_t start = static_cast<off_t>(size / 2);
    lseek(fd, start, SEEK_SET);
    dic *d = dic_load_from_fd(fd);
    BWV_FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == start);
    if (d) {
        bwv::fuzz::walk_dic(d, 0);
        // Parsed from a read-only mapping: immutable.
        BWV_FUZZ_CHECK(dic_set_str(d, "fuzz.marker", "x") == -1);
        dic_destroy(d);
    }
    close(fd);
    return 0;
}
