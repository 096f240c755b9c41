#include <bwvutil/dbuf.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
constexpr uint32_t kMinGrowth = 256;
constexpr int kMemoryError = 1;
constexpr int kParamError = 2;
}  // namespace

extern "C" {

dbuf *dbuf_create(void) { return static_cast<dbuf *>(calloc(1, sizeof(dbuf))); }

dbuf *dbuf_createx(int n) {
    if (n < 0) return nullptr;
    auto *buf = static_cast<dbuf *>(calloc(1, sizeof(dbuf)));
    if (!buf) return nullptr;
    // calloc(0) may legitimately answer NULL; ask for one byte so a 0-sized buffer is not
    // mistaken for a failure, while size stays what the caller asked.
    buf->data = static_cast<unsigned char *>(calloc(n > 0 ? static_cast<size_t>(n) : 1, 1));
    if (!buf->data) {
        free(buf);
        return nullptr;
    }
    buf->size = buf->room = static_cast<uint32_t>(n);
    return buf;
}

int dbuf_destroy(dbuf *buf) {
    if (buf) {
        free(buf->data);
        free(buf);
    }
    return 0;
}

int dbuf_reset(dbuf *buf) {
    if (!buf) return kParamError;
    buf->wpos = buf->rpos = 0;
    buf->room = buf->size;
    return 0;
}

}  // extern "C"

namespace {

bool overlaps_storage(const dbuf *buf, const void *src, uint32_t len) {
    if (!buf->data) return false;
    auto from = reinterpret_cast<uintptr_t>(src);
    auto begin = reinterpret_cast<uintptr_t>(buf->data);
    return from < begin + buf->size && from + len > begin;
}

int append(dbuf *buf, const void *src, uint32_t len) {
    if (!buf->data) {
        buf->data = static_cast<unsigned char *>(malloc(len));
        if (!buf->data) return kMemoryError;
        buf->size = buf->room = len;
        buf->wpos = buf->rpos = 0;
    } else {
        if (buf->rpos > 0) {
            uint32_t unread = buf->wpos - buf->rpos;
            memmove(buf->data, buf->data + buf->rpos, unread);
            buf->rpos = 0;
            buf->wpos = unread;
            buf->room = buf->size - buf->wpos;
        }
        if (buf->room < len) {
            uint32_t growth = len <= kMinGrowth ? kMinGrowth : len;
            if (growth > UINT32_MAX - buf->size) return kMemoryError;
            void *grown = realloc(buf->data, static_cast<size_t>(buf->size) + growth);
            if (!grown) return kMemoryError;
            buf->data = static_cast<unsigned char *>(grown);
            buf->size += growth;
            buf->room = buf->size - buf->wpos;
        }
    }
    memcpy(buf->data + buf->wpos, src, len);
    buf->wpos += len;
    buf->room = buf->size - buf->wpos;
    return 0;
}

}  // namespace

extern "C" {

int dbuf_write(dbuf *buf, const void *src, uint32_t len) {
    if (!buf || !src || len == 0) return kParamError;
    // Compacting and growing move the storage; bytes taken from it (a caller appending
    // its own unread bytes again) are set aside first so they are neither overwritten
    // nor read after being freed.
    if (overlaps_storage(buf, src, len)) {
        void *aside = malloc(len);
        if (!aside) return kMemoryError;
        memcpy(aside, src, len);
        int rc = append(buf, aside, len);
        free(aside);
        return rc;
    }
    return append(buf, src, len);
}

uint32_t dbuf_read(dbuf *buf, void *dst, uint32_t n) {
    if (!buf) return 0;
    uint32_t unread = buf->wpos - buf->rpos;
    uint32_t k = n < unread ? n : unread;
    if (dst && k > 0) memcpy(dst, buf->data + buf->rpos, k);
    buf->rpos += k;
    return k;
}

uint32_t dbuf_len(dbuf *buf) { return buf ? buf->wpos - buf->rpos : 0; }

void *dbuf_data(dbuf *buf) {
    if (!buf || !buf->data) return nullptr;
    return buf->data + buf->rpos;
}

void *dbuf_copy_data(dbuf *buf) {
    if (!buf) return nullptr;
    uint32_t len = buf->wpos - buf->rpos;
    void *copy = malloc(len > 0 ? len : 1);
    if (copy && len > 0) memcpy(copy, buf->data + buf->rpos, len);
    return copy;
}

const char *dbuf_strerror(dbuf *, int code) {
    switch (code) {
        case kMemoryError:
            return "Memory error";
        case kParamError:
            return "Param error";
        default:
            return "Unknown error";
    }
}

}  // extern "C"
