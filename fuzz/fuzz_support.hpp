// Scratch space shared by the fuzz targets and their replay driver: one private folder per
// process, removed at exit, so parsers that only take a path or a descriptor can be fed.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bwv::fuzz {

inline const std::string &scratch_dir() {
    static const std::string dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "bwvfuzz-XXXXXX").string();
        if (!mkdtemp(templ.data())) std::abort();
        static std::string kept = templ;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(kept, ec);
        });
        return templ;
    }();
    return dir;
}

// Replaces path's content with the input; aborts when the disk refuses, because every
// later result would be meaningless.
inline void write_file(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace bwv::fuzz

#define BWV_FUZZ_CHECK(cond)  \
    do {                      \
        if (!(cond)) {        \
            __builtin_trap(); \
        }                     \
    } while (0)
