// Scratch space shared by the fuzz targets and their replay driver: one private folder per
// process, removed at exit, so parsers that only take a path or a descriptor can be fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size)).flush()) std::abort();
}

}  // namespace bwv::fuzz

#define BWV_FUZZ_CHECK(cond) ((cond) ? (void)0 : __builtin_trap())
