#include <bwvutil/mmap.h>

#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Each way in: what it maps, the length it reports (99: left alone), and that the caller's
// descriptor keeps its place and stays open.
TEST(Mmap, MapsWholeFilesAndRefusesTheRest) {
    bwv::test::TempDir dir;
    const std::string file = dir.write("f", "mapped contents"), empty = dir.write("empty", "");
    auto by_fd = [](const std::string &path, int flags) {
        return [=](uint32_t *len) {
            int fd = open(path.c_str(), flags);
            lseek(fd, 3, SEEK_SET);
            void *addr = start_mmap_fd(fd, len);
            EXPECT_TRUE(fd < 0 || (lseek(fd, 0, SEEK_CUR) == 3 && close(fd) == 0)) << path;
            return addr;
        };
    };
    const struct {
        const char *what;
        std::function<void *(uint32_t *)> map;
        const char *maps;
        uint32_t len;
    } rows[] = {
        {"a file", [&](uint32_t *len) { return start_mmap_file(file.c_str(), len); }, "mapped contents", 15},
        {"a descriptor, from offset 0", by_fd(file, O_RDONLY), "mapped contents", 15},
        {"a write-only descriptor: size only", by_fd(file, O_WRONLY), nullptr, 15},
        {"an empty file: size only", [&](uint32_t *len) { return start_mmap_file(empty.c_str(), len); }, nullptr, 0},
        {"a descriptor on an empty file", by_fd(empty, O_RDONLY), nullptr, 99},
        {"a missing file", [](uint32_t *len) { return start_mmap_file("/nonexistent/f", len); }, nullptr, 99},
        {"a null path", [](uint32_t *len) { return start_mmap_file(nullptr, len); }, nullptr, 99},
        {"no length", [](uint32_t *) { return start_mmap_file("/dev/null", nullptr); }, nullptr, 99},
        {"descriptor -1", [](uint32_t *len) { return start_mmap_fd(-1, len); }, nullptr, 99},
    };
    const int before = dup(0);
    for (const auto &r : rows) {
        uint32_t len = 99;
        void *addr = r.map(&len);
        EXPECT_EQ(addr ? std::string(static_cast<char *>(addr), len) : "<null>", r.maps ? r.maps : "<null>") << r.what;
        EXPECT_EQ(len, r.len) << r.what;
        EXPECT_EQ(addr ? end_mmap(addr, static_cast<int>(len)) : 0, 0) << r.what;
    }
    EXPECT_EQ(dup(0), before + 1) << "no descriptor leaked";
    EXPECT_EQ(end_mmap(nullptr, 10), -1);
}

}  // namespace
