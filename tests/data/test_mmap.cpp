#include <bwvutil/mmap.h>

#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using bwv::test::TempDir;

TEST(Mmap, MapsTheWholeFileReadOnly)
{
    TempDir dir;
    std::string path = dir.write("f.bin", "mapped contents");
    uint32_t len = 0;
    void *addr = start_mmap_file(path.c_str(), &len);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(len, 15u);
    EXPECT_EQ(memcmp(addr, "mapped contents", 15), 0);
    EXPECT_EQ(end_mmap(addr, static_cast<int>(len)), 0);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
    len = 0;
    addr = start_mmap_fd(fd, &len);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(len, 15u);
    EXPECT_EQ(memcmp(addr, "mapped", 6), 0) << "mapping starts at offset 0, not the position";
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3) << "position untouched";
    EXPECT_EQ(end_mmap(addr, static_cast<int>(len)), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "caller's descriptor stays open";
    close(fd);
}

TEST(Mmap, EmptyFilesGiveNullWithTheirLengthRules)
{
    TempDir dir;
    std::string path = dir.write("empty", "");
    uint32_t len = 99;
    EXPECT_EQ(start_mmap_file(path.c_str(), &len), nullptr);
    EXPECT_EQ(len, 0u) << "the file's size is stored before mapping";

    int fd = open(path.c_str(), O_RDONLY);
    len = 99;
    EXPECT_EQ(start_mmap_fd(fd, &len), nullptr);
    EXPECT_EQ(len, 99u) << "length left untouched for a descriptor on an empty file";
    close(fd);
}

TEST(Mmap, DescriptorThatCannotBeMappedStillReportsItsSize)
{
    TempDir dir;
    std::string path = dir.write("w.bin", "twelve bytes");
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    uint32_t len = 99;
    EXPECT_EQ(start_mmap_fd(fd, &len), nullptr) << "a write-only descriptor cannot be read-mapped";
    EXPECT_EQ(len, 12u) << "the size was read, so it is stored";
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "caller's descriptor stays open";
    close(fd);
}

TEST(Mmap, RefusedArgumentsLeaveNothingOpen)
{
    int before = open("/dev/null", O_RDONLY);
    close(before);
    uint32_t len = 5;
    EXPECT_EQ(start_mmap_file(nullptr, &len), nullptr);
    EXPECT_EQ(start_mmap_file("", &len), nullptr);
    EXPECT_EQ(start_mmap_file("/dev/null", nullptr), nullptr);
    EXPECT_EQ(start_mmap_file("/nonexistent/file", &len), nullptr);
    EXPECT_EQ(start_mmap_fd(-1, &len), nullptr);
    EXPECT_EQ(len, 5u);
    TempDir dir;
    EXPECT_EQ(start_mmap_file(dir.path().c_str(), &len), nullptr) << "a directory cannot be mapped";
    int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, before) << "no descriptor leaked";
    close(after);
    EXPECT_EQ(end_mmap(nullptr, 10), -1);
}

}  // namespace
