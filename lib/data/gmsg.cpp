#include <bwvutil/gmsg.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "lib/data/gmsg_internal.hpp"
#include "lib/core/keyed_archive.hpp"
#include "lib/core/log.hpp"
#include "lib/core/plobj.hpp"

using bwv::pl::Kind;
using bwv::pl::Ref;
namespace pl = bwv::pl;

namespace {

constexpr const char *kCTypeKey = "_c_type_";
constexpr const char *kMTypeKey = "_m_type_";
constexpr size_t kRingSize = 131072;
constexpr size_t kHeaderSize = 12;

// Process-wide state. Never torn down: messages may be released by static destructors of
// callers that outlive us.
std::mutex glock_msg;
std::unordered_map<uint64_t, Ref> *global_msg_buffer = nullptr;
uint64_t global_msg_id = 0;
char msg_str_buffer[kRingSize];
int32_t msg_index = 0;

// Enters content under a fresh id. The registry is made on first use, under the lock.
gmsg *register_message(int32_t c_type, int32_t m_type, Ref content) {
    auto *m = static_cast<gmsg *>(std::calloc(1, sizeof(gmsg)));
    if (!m) return nullptr;
    m->c_type = c_type;
    m->m_type = m_type;
    try {
        std::lock_guard lock(glock_msg);
        if (!global_msg_buffer) global_msg_buffer = new std::unordered_map<uint64_t, Ref>();
        m->id = global_msg_id++;
        global_msg_buffer->emplace(m->id, std::move(content));
    } catch (...) {
        std::free(m);
        return nullptr;
    }
    return m;
}

// The content with a reference of our own, so it may be used after the lock is dropped.
Ref content_of(const gmsg *m) {
    if (!m) return {};
    std::lock_guard lock(glock_msg);
    if (!global_msg_buffer) return {};
    auto it = global_msg_buffer->find(m->id);
    return it == global_msg_buffer->end() ? Ref() : it->second;
}

plobj *borrowed_content(const gmsg *m) {
    if (!m) return nullptr;
    std::lock_guard lock(glock_msg);
    if (!global_msg_buffer) return nullptr;
    auto it = global_msg_buffer->find(m->id);
    return it == global_msg_buffer->end() ? nullptr : it->second.get();
}

bool is_dict(const plobj *o) { return o && pl::kind(o) == Kind::Dict; }

// Makes the two reserved keys numbers equal to the record's types.
bool stamp_types(plobj *content, int32_t c_type, int32_t m_type) {
    Ref c(pl::make_int(c_type)), t(pl::make_int(m_type));
    return c && t && pl::dict_set(content, kCTypeKey, c.get()) && pl::dict_set(content, kMTypeKey, t.get());
}

Ref shallow_copy(const plobj *dict) {
    Ref copy(pl::make_dict(true));
    if (!copy) return {};
    for (auto &[k, v] : pl::dict_entries(dict))
        if (!pl::dict_set(copy.get(), k, v)) return {};
    return copy;
}

// A message whose content is `content` (adopted), with its types taken from the content's
// reserved keys and written back as numbers.
gmsg *adopt_content(Ref content) {
    int32_t c = bwv::gmsg_detail::int32_reading(pl::dict_get(content.get(), kCTypeKey)).value_or(0);
    int32_t t = bwv::gmsg_detail::int32_reading(pl::dict_get(content.get(), kMTypeKey)).value_or(0);
    if (!stamp_types(content.get(), c, t)) return nullptr;
    return register_message(c, t, std::move(content));
}

gmsg *empty_message(int32_t c_type, int32_t m_type) {
    Ref content(pl::make_dict(true));
    if (!content || !stamp_types(content.get(), c_type, m_type)) return nullptr;
    return register_message(c_type, m_type, std::move(content));
}

bool valid_key(const char *key) { return key && pl::valid_utf8(key); }

gmsg *store(gmsg *m, const char *key, Ref value) {
    Ref content = content_of(m);
    if (content && value) pl::dict_set(content.get(), key, value.get());
    return m;
}

size_t utf16_length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        n += c >= 0xF0 ? 2 : 1;            // four-byte forms need a surrogate pair
    }
    return n;
}

}  // namespace

namespace bwv::gmsg_detail {

// Integer reading of a leading decimal number, as Foundation's string reading does it:
// leading white space, an optional sign, digits; 0 without digits; saturated on overflow.
int64_t leading_integer(std::string_view s) {
    size_t i = 0;
    while (i < s.size() &&
           (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f'))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    uint64_t limit = neg ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
    uint64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned d = s[i] - '0';
        if (v > (limit - d) / 10) {
            v = limit;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
            break;
        }
        v = v * 10 + d;
    }
    if (neg) return v == limit ? INT64_MIN : -static_cast<int64_t>(v);
    return static_cast<int64_t>(v);
}

std::optional<int64_t> int64_reading(const plobj *v) {
    if (!v) return std::nullopt;
    switch (pl::kind(v)) {
        case Kind::Integer:
            return pl::int_value(v);
        case Kind::Boolean:
            return pl::bool_value(v) ? 1 : 0;
        case Kind::Real: {
            double d = pl::real_value(v);
            if (d != d) return 0;
            if (d >= 9223372036854775807.0) return INT64_MAX;
            if (d <= -9223372036854775808.0) return INT64_MIN;
            return static_cast<int64_t>(d);
        }
        case Kind::String:
            return leading_integer(pl::string_value(v));
        default:
            return std::nullopt;
    }
}

std::optional<int32_t> int32_reading(const plobj *v) {
    auto r = int64_reading(v);
    if (!r) return std::nullopt;
    // Text saturates, as a string's int reading does; numbers keep their low 32 bits,
    // as a number's int reading does.
    if (pl::kind(v) == Kind::String || pl::kind(v) == Kind::Real) {
        if (*r > INT32_MAX) return INT32_MAX;
        if (*r < INT32_MIN) return INT32_MIN;
    }
    return static_cast<int32_t>(static_cast<uint64_t>(*r));
}

}  // namespace bwv::gmsg_detail

extern "C" {

gmsg *gmsg_create(int c_type, int m_type) {
    try {
        return empty_message(c_type, m_type);
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_create_use_dic(plobj *dict) {
    if (!is_dict(dict)) return nullptr;
    try {
        Ref copy = shallow_copy(dict);
        return copy ? adopt_content(std::move(copy)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

int gmsg_type_from_dic(plobj *dict) {
    if (!is_dict(dict)) return -1;
    try {
        return bwv::gmsg_detail::int32_reading(pl::dict_get(dict, kMTypeKey)).value_or(-1);
    } catch (...) {
        return -1;
    }
}

gmsg *gmsg_duplicate(gmsg *m) {
    if (!m) return nullptr;
    try {
        Ref src = content_of(m);
        if (!src) return empty_message(m->c_type, m->m_type);
        Ref copy = shallow_copy(src.get());
        return copy ? adopt_content(std::move(copy)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

void gmsg_release(gmsg *m) {
    if (!m) return;
    Ref gone;
    {
        std::lock_guard lock(glock_msg);
        if (global_msg_buffer) {
            auto it = global_msg_buffer->find(m->id);
            if (it != global_msg_buffer->end()) {
                gone = std::move(it->second);
                global_msg_buffer->erase(it);
            }
        }
    }
    // The content (possibly a large tree) is freed outside the lock.
    gone = Ref();
    std::free(m);
}

plobj *gmsg_content(gmsg *m) {
    try {
        return borrowed_content(m);
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_add_str(gmsg *m, const char *key, const char *value) {
    if (!m || !valid_key(key) || !value || !pl::valid_utf8(value)) return nullptr;
    try {
        return store(m, key, Ref(pl::make_string(value)));
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_add_int(gmsg *m, const char *key, int64_t value) {
    if (!m || !valid_key(key)) return nullptr;
    try {
        return store(m, key, Ref(pl::make_string(std::to_string(value))));
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_add_bin(gmsg *m, const char *key, const void *bytes, int len) {
    if (!m || !valid_key(key) || !bytes || len <= 0) return nullptr;
    try {
        return store(m, key, Ref(pl::make_data(bytes, static_cast<size_t>(len))));
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_add_msg(gmsg *m, const char *key, gmsg *other) {
    if (!m || !valid_key(key) || !other) return nullptr;
    try {
        Ref src = content_of(other);
        if (!src) return m;
        return store(m, key, shallow_copy(src.get()));
    } catch (...) {
        return nullptr;
    }
}

int gmsg_delete(gmsg *m, const char *key) {
    if (!m || !key || !*key) return -1;
    try {
        if (Ref content = content_of(m)) pl::dict_remove(content.get(), key);
        return 0;
    } catch (...) {
        return -1;
    }
}

const char *gmsg_get_str(gmsg *m, const char *key) {
    if (!m || !key) return nullptr;
    try {
        Ref content = content_of(m);
        if (!content) return nullptr;
        const plobj *v = pl::dict_get(content.get(), key);
        if (!v || pl::kind(v) != Kind::String) return nullptr;
        const std::string &s = pl::string_value(v);
        size_t need = s.size() + 1;
        // Too long for the ring even at its start: refused rather than written past it.
        if (need > kRingSize) return nullptr;
        size_t off;
        {
            std::lock_guard lock(glock_msg);
            off = static_cast<size_t>(msg_index);
            if (off + need >= kRingSize) off = 0;
            msg_index = static_cast<int32_t>(off + need);
        }
        std::memcpy(msg_str_buffer + off, s.data(), s.size());
        msg_str_buffer[off + s.size()] = '\0';
        return msg_str_buffer + off;
    } catch (...) {
        return nullptr;
    }
}

int gmsg_get_str_r(gmsg *m, const char *key, char *dest, int n) {
    if (!m || !key) return 0;
    try {
        Ref content = content_of(m);
        if (!content) return 0;
        const plobj *v = pl::dict_get(content.get(), key);
        if (!v || pl::kind(v) != Kind::String) return 0;
        const std::string &s = pl::string_value(v);
        if (dest && n > 0) {
            size_t k = std::min(s.size(), static_cast<size_t>(n) - 1);
            std::memcpy(dest, s.data(), k);
            dest[k] = '\0';
        }
        return s.size() >= static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(s.size() + 1);
    } catch (...) {
        return 0;
    }
}

int64_t gmsg_get_int(gmsg *m, const char *key) {
    if (!m || !key) return -1;
    try {
        Ref content = content_of(m);
        if (!content) return -1;
        return bwv::gmsg_detail::int64_reading(pl::dict_get(content.get(), key)).value_or(-1);
    } catch (...) {
        return -1;
    }
}

const void *gmsg_get_bin(gmsg *m, const char *key, uint32_t *len) {
    if (!m || !key || !len) return nullptr;
    try {
        Ref content = content_of(m);
        if (!content) return nullptr;
        // The pointer stays valid through the registry's reference on the content.
        const plobj *v = pl::dict_get(content.get(), key);
        if (!v || pl::kind(v) != Kind::Data) return nullptr;
        const auto &d = pl::data_value(v);
        if (d.size() > UINT32_MAX) return nullptr;
        *len = static_cast<uint32_t>(d.size());
        static const unsigned char empty = 0;
        return d.empty() ? &empty : d.data();
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_get_msg(gmsg *m, const char *key) {
    if (!m || !key) return nullptr;
    try {
        Ref content = content_of(m);
        if (!content) return nullptr;
        const plobj *v = pl::dict_get(content.get(), key);
        if (!is_dict(v)) return nullptr;
        Ref copy = shallow_copy(v);
        return copy ? adopt_content(std::move(copy)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

int gmsg_get_desc(gmsg *m, char *dest, int *len) {
    if (!m || !len) return 0;
    try {
        Ref content = content_of(m);
        std::string desc = content ? pl::description(content.get()) : std::string();
        if (!dest) {
            size_t units = utf16_length(desc);
            *len = units > INT_MAX ? INT_MAX : static_cast<int>(units);
            return 0;
        }
        if (*len <= 0) {
            *len = 0;
            return 0;
        }
        size_t k = std::min(desc.size(), static_cast<size_t>(*len) - 1);
        std::memcpy(dest, desc.data(), k);
        dest[k] = '\0';
        *len = static_cast<int>(k);
    } catch (...) {
        // Out of memory: an empty description, so the caller never reads an unset buffer.
        if (dest && *len > 0) dest[0] = '\0';
        *len = 0;
    }
    return 0;
}

void gmsg_print_all(gmsg *m) {
    if (!m) return;
    try {
        Ref content = content_of(m);
        long count = content ? static_cast<long>(pl::count(content.get())) : 0;
        std::printf("control type: %d, message type: %d, key count: %ld\n", m->c_type, m->m_type, count);
        std::fflush(stdout);
        std::string desc = content ? pl::description(content.get()) : std::string();
        bwv::log_line(desc.empty() ? std::string("(null)") : desc);
    } catch (...) {
    }
}

void *gmsg_gen_buffer(gmsg *m, uint32_t *len) {
    if (!m || !len) return nullptr;
    try {
        Ref content = content_of(m);
        std::string archive;
        if (!content || !bwv::archive::archive_root(content.get(), archive)) return nullptr;
        if (archive.size() > UINT32_MAX - kHeaderSize - 1) return nullptr;
        uint32_t total = static_cast<uint32_t>(archive.size() + kHeaderSize + 1);
        auto *buf = static_cast<unsigned char *>(std::calloc(1, total));
        if (!buf) return nullptr;
        std::memcpy(buf, &total, 4);
        std::memcpy(buf + 4, &m->c_type, 4);
        std::memcpy(buf + 8, &m->m_type, 4);
        std::memcpy(buf + kHeaderSize, archive.data(), archive.size());
        *len = total;
        return buf;
    } catch (...) {
        return nullptr;
    }
}

gmsg *gmsg_parse_buffer(const void *buf, int len) {
    // Nothing of an archive is left in 12 bytes or fewer; refusing keeps every read
    // inside [buf, buf + len).
    if (!buf || len <= static_cast<int>(kHeaderSize)) return nullptr;
    try {
        const auto *bytes = static_cast<const unsigned char *>(buf);
        size_t n = static_cast<size_t>(len) - kHeaderSize - 1;
        Ref root(n ? bwv::archive::unarchive_root(bytes + kHeaderSize, n) : nullptr);
        // A peer's archive that does not decode still gives a message, of types 0 and 0.
        if (!is_dict(root.get())) return empty_message(0, 0);
        return adopt_content(std::move(root));
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
