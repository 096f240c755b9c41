#include <bwvutil/mmap.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Sizes travel as 32-bit values and end_mmap takes an int, so only files below 2 GiB fit.
constexpr off_t kMaxMappable = 0x7fffffff;

void *map_whole(int fd, size_t len) {
    void *addr = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    return addr == MAP_FAILED ? nullptr : addr;
}

}  // namespace

extern "C" {

void *start_mmap_file(const char *path, uint32_t *len) {
    if (!path || !*path || !len) return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size > kMaxMappable) {
        close(fd);
        return nullptr;
    }
    *len = static_cast<uint32_t>(st.st_size);
    void *addr = st.st_size > 0 ? map_whole(fd, static_cast<size_t>(st.st_size)) : nullptr;
    close(fd);
    return addr;
}

void *start_mmap_fd(int fd, uint32_t *len) {
    if (fd < 0 || !len) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 1 || st.st_size > kMaxMappable) return nullptr;
    // Once the size is known it is reported, as start_mmap_file does, mapped or not.
    *len = static_cast<uint32_t>(st.st_size);
    return map_whole(fd, static_cast<size_t>(st.st_size));
}

int end_mmap(void *addr, int len) {
    if (!addr || len <= 0) {
        errno = EINVAL;
        return -1;
    }
    return munmap(addr, static_cast<size_t>(len));
}

}  // extern "C"
