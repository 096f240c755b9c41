// Reading property lists: libplist parses, and the result is converted into our objects.
#include "lib/core/plobj_impl.hpp"
#include "lib/base/plist_guard.hpp"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace bwv::pl {

using namespace detail;

namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
    void operator()(void *p) const { free(p); }
};

// libplist's own XML rendering of one node keeps what its getters lose (the sign of
// 64-bit integers, dates outside a 32-bit second count); the slow paths read it back.
std::string node_xml(plist_t node) {
    char *xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::unique_ptr<char, MallocFree> guard(xml);
    return xml ? std::string(xml, len) : std::string();
}

std::string element_text(const std::string &xml, const char *tag) {
    std::string open = std::string("<") + tag + ">";
    std::string close = std::string("</") + tag + ">";
    size_t b = xml.find(open);
    if (b == std::string::npos) return {};
    b += open.size();
    size_t e = xml.find(close, b);
    return e == std::string::npos ? std::string() : xml.substr(b, e - b);
}

// "[-]YYYY-MM-DDTHH:MM:SSZ" with any number of year digits (year 0 included).
bool parse_iso_date(const std::string &s, double *out) {
    const char *p = s.c_str();
    bool neg = *p == '-';
    if (neg) ++p;
    char *end = nullptr;
    long long year = strtoll(p, &end, 10);
    if (end == p) return false;
    unsigned mo, d, h, mi, sec;
    if (sscanf(end, "-%2u-%2uT%2u:%2u:%2uZ", &mo, &d, &h, &mi, &sec) != 5) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return false;
    *out = seconds_from_civil(neg ? -year : year, mo, d, h, mi, sec);
    return true;
}

class Converter {
public:
    explicit Converter(bool m) : mutable_(m) {}

    plobj *convert(plist_t node, int depth) {
        if (depth > kMaxPlistDepth) return nullptr;
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(node, &b);
                return make_bool(b != 0);
            }
            case PLIST_UINT:
                return integer(node);
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                return make_real(d);
            }
            case PLIST_DATE:
                return date(node);
            case PLIST_STRING:
            case PLIST_KEY: {
                uint64_t len = 0;
                const char *p = plist_get_string_ptr(node, &len);
                if (p) return make_string(std::string_view(p, len), mutable_);
                char *s = nullptr;
                plist_get_key_val(node, &s);
                std::unique_ptr<char, MallocFree> guard(s);
                return s ? make_string(s, mutable_) : nullptr;
            }
            case PLIST_DATA: {
                uint64_t len = 0;
                const char *p = plist_get_data_ptr(node, &len);
                return make_data(p, p ? len : 0, mutable_);
            }
            case PLIST_ARRAY:
                return array(node, depth);
            case PLIST_DICT:
                return dict(node, depth);
            case PLIST_UID: {
                uint64_t uid = 0;
                plist_get_uid_val(node, &uid);
                Ref d(make_dict(mutable_));
                Ref n(make_uint(uid));
                // Stored before released: a failed insertion still frees the number.
                as_dict(d.get())->entries.emplace("CF$UID", n.get());
                n.release();
                return d.release();
            }
            default:
                return nullptr;
        }
    }

private:
    plobj *integer(plist_t node) {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u <= static_cast<uint64_t>(INT64_MAX)) return make_int(static_cast<int64_t>(u));
        // Either a negative number or one above INT64_MAX; only the rendering tells.
        std::string text = element_text(node_xml(node), "integer");
        if (!text.empty() && text[0] == '-') return make_int(static_cast<int64_t>(u));
        return make_uint(u);
    }

    plobj *date(plist_t node) {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        if (sec != INT32_MIN) return make_date(static_cast<double>(sec) + static_cast<double>(usec) / 1e6);
        // Outside the getter's range (CF's distant past and future); whole seconds suffice.
        double v = 0;
        if (!parse_iso_date(element_text(node_xml(node), "date"), &v)) return nullptr;
        return make_date(v);
    }

    plobj *array(plist_t node, int depth) {
        Ref arr(make_array(mutable_));
        auto &items = as_array(arr.get())->items;
        items.reserve(plist_array_get_size(node));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        std::unique_ptr<void, MallocFree> guard(it);
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, it, &item);
            if (!item) break;
            plobj *v = convert(item, depth + 1);
            if (!v) return nullptr;
            items.push_back(v);
        }
        return arr.release();
    }

    plobj *dict(plist_t node, int depth) {
        Ref d(make_dict(mutable_));
        auto &entries = as_dict(d.get())->entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, MallocFree> guard(it);
        for (;;) {
            char *key = nullptr;
            plist_t val = nullptr;
            plist_dict_next_item(node, it, &key, &val);
            std::unique_ptr<char, MallocFree> key_guard(key);
            if (!key || !val) break;
            Ref v(convert(val, depth + 1));
            if (!v) return nullptr;
            std::string_view k(key);
            // Apple's writers sort keys, so appending at the end is the common case.
            if (entries.empty() || entries.rbegin()->first < k) {
                entries.emplace_hint(entries.end(), k, v.get());
                v.release();
            } else {
                auto [pos, inserted] = entries.try_emplace(std::string(k), nullptr);
                plobj_release(pos->second);  // a repeated key: the later value wins
                pos->second = v.release();
                (void)inserted;
            }
        }
        return d.release();
    }

    bool mutable_;
};

// libplist accepts a document whose end was cut off right after the root element; a
// file that lost its closing tag is truncated and must not load.
bool xml_is_complete(const char *p, size_t len) {
    std::string_view text(p, len);
    if (text.find("<plist") == std::string_view::npos) return true;
    size_t end = text.find_last_not_of(std::string_view(" \t\r\n\0", 5));
    constexpr std::string_view close = "</plist>";
    return end != std::string_view::npos && end + 1 >= close.size() &&
           text.substr(end + 1 - close.size(), close.size()) == close;
}

}  // namespace

plobj *parse(const void *bytes, size_t len, bool is_mutable) {
    if (!bytes || len == 0 || len > UINT32_MAX) return nullptr;
    try {
        auto *p = static_cast<const char *>(bytes);
        plist_t root = nullptr;
        if (!safe_for_libplist(bytes, len)) return nullptr;
        if (len >= 8 && memcmp(p, "bplist00", 8) == 0)
            plist_from_bin(p, static_cast<uint32_t>(len), &root);
        else if (xml_is_complete(p, len))
            plist_from_xml(p, static_cast<uint32_t>(len), &root);
        if (!root) return nullptr;
        PlistPtr guard(root);
        return Converter(is_mutable).convert(root, 0);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace bwv::pl
