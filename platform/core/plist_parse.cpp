// Reading property lists: libplist parses, and the result is converted into our objects.
#include "platform/core/plobj_impl.hpp"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

namespace bwv::pl {

using namespace detail;

namespace {

constexpr int kMaxDepth = 512;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
    void operator()(void *p) const { free(p); }
};

// libplist's own XML rendering of one node keeps what its getters lose (the sign of
// 64-bit integers, dates outside a 32-bit second count); the slow paths read it back.
std::string node_xml(plist_t node)
{
    char *xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::unique_ptr<char, MallocFree> guard(xml);
    return xml ? std::string(xml, len) : std::string();
}

std::string element_text(const std::string &xml, const char *tag)
{
    std::string open = std::string("<") + tag + ">";
    std::string close = std::string("</") + tag + ">";
    size_t b = xml.find(open);
    if (b == std::string::npos)
        return {};
    b += open.size();
    size_t e = xml.find(close, b);
    return e == std::string::npos ? std::string() : xml.substr(b, e - b);
}

// "[-]YYYY-MM-DDTHH:MM:SSZ" with any number of year digits (year 0 included).
bool parse_iso_date(const std::string &s, double *out)
{
    const char *p = s.c_str();
    bool neg = *p == '-';
    if (neg)
        ++p;
    char *end = nullptr;
    long long year = strtoll(p, &end, 10);
    if (end == p)
        return false;
    unsigned mo, d, h, mi, sec;
    if (sscanf(end, "-%2u-%2uT%2u:%2u:%2uZ", &mo, &d, &h, &mi, &sec) != 5)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return false;
    *out = seconds_from_civil(neg ? -year : year, mo, d, h, mi, sec);
    return true;
}

class Converter {
public:
    explicit Converter(bool m) : mutable_(m) {}

    plobj *convert(plist_t node, int depth)
    {
        if (depth > kMaxDepth)
            return nullptr;
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
            if (p)
                return make_string(std::string_view(p, len), mutable_);
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
    plobj *integer(plist_t node)
    {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u <= static_cast<uint64_t>(INT64_MAX))
            return make_int(static_cast<int64_t>(u));
        // Either a negative number or one above INT64_MAX; only the rendering tells.
        std::string text = element_text(node_xml(node), "integer");
        if (!text.empty() && text[0] == '-')
            return make_int(static_cast<int64_t>(u));
        return make_uint(u);
    }

    plobj *date(plist_t node)
    {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        if (sec != INT32_MIN)
            return make_date(static_cast<double>(sec) + static_cast<double>(usec) / 1e6);
        // Outside the getter's range (CF's distant past and future); whole seconds suffice.
        double v = 0;
        if (!parse_iso_date(element_text(node_xml(node), "date"), &v))
            return nullptr;
        return make_date(v);
    }

    plobj *array(plist_t node, int depth)
    {
        Ref arr(make_array(mutable_));
        auto &items = as_array(arr.get())->items;
        items.reserve(plist_array_get_size(node));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        std::unique_ptr<void, MallocFree> guard(it);
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, it, &item);
            if (!item)
                break;
            plobj *v = convert(item, depth + 1);
            if (!v)
                return nullptr;
            items.push_back(v);
        }
        return arr.release();
    }

    plobj *dict(plist_t node, int depth)
    {
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
            if (!key || !val)
                break;
            Ref v(convert(val, depth + 1));
            if (!v)
                return nullptr;
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

// libplist recurses once per nesting level and copies objects that are referenced more
// than once, so a hostile file could exhaust the stack or memory inside it. These checks
// run first and refuse what no real property list contains.
constexpr uint64_t kMaxExpandedObjects = 20'000'000;

bool xml_nesting_is_sane(const char *p, size_t len)
{
    int depth = 0;
    const char *end = p + len;
    for (const char *c = static_cast<const char *>(memchr(p, '<', len)); c;
         c = static_cast<const char *>(memchr(c + 1, '<', static_cast<size_t>(end - c - 1)))) {
        std::string_view rest(c + 1, static_cast<size_t>(end - c - 1));
        bool closing = !rest.empty() && rest[0] == '/';
        if (closing)
            rest.remove_prefix(1);
        size_t name_len = rest.starts_with("array") ? 5 : rest.starts_with("dict") ? 4 : 0;
        if (name_len == 0)
            continue;
        rest.remove_prefix(name_len);
        size_t gt = rest.find('>');
        if (gt == std::string_view::npos)
            return true;  // unterminated tag: the parser will refuse it
        if (rest.substr(0, gt).find_first_not_of(" \t\r\n/") != std::string_view::npos)
            continue;  // another element whose name merely starts the same way
        if (gt > 0 && rest[gt - 1] == '/')
            continue;  // <array/>
        depth += closing ? -1 : 1;
        if (depth > kMaxDepth)
            return false;
        if (c + 1 >= end)
            break;
    }
    return true;
}

uint64_t read_be(const uint8_t *p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Walks the object graph of a bplist00 without building it: nesting depth, cycles and the
// number of nodes the tree would have once shared objects are copied.
bool binary_graph_is_sane(const uint8_t *p, size_t len)
{
    if (len < 8 + 32)
        return false;
    const uint8_t *t = p + len - 32;
    size_t off_size = t[6], ref_size = t[7];
    uint64_t count = read_be(t + 8, 8), top = read_be(t + 16, 8), table = read_be(t + 24, 8);
    if (off_size < 1 || off_size > 8 || ref_size < 1 || ref_size > 8 || count == 0 || top >= count ||
        table < 8 || table > len - 32 || count > (len - 32 - table) / off_size)
        return false;
    auto offset_of = [&](uint64_t i) { return read_be(p + table + i * off_size, off_size); };

    // The element count of the object at o and where its content starts; false when the
    // count runs outside the file.
    auto count_at = [&](uint64_t o, uint64_t &n, uint64_t &pos) -> bool {
        n = p[o] & 0x0F;
        pos = o + 1;
        if (n == 0x0F) {
            if (pos >= table || (p[pos] >> 4) != 0x1)
                return false;
            size_t w = size_t{1} << (p[pos] & 0x0F);
            if (w > 8 || pos + 1 + w > table)
                return false;
            n = read_be(p + pos + 1, w);
            pos += 1 + w;
        }
        return true;
    };

    // libplist aborts the process when it hands out a dictionary key holding a zero
    // character, so such keys are refused here.
    auto key_holds_nul = [&](uint64_t i) -> bool {
        uint64_t o = offset_of(i);
        if (o < 8 || o >= table)
            return false;
        uint8_t type = p[o] >> 4;
        uint64_t n = 0, pos = 0;
        if ((type != 0x5 && type != 0x6) || !count_at(o, n, pos) || n > table - pos)
            return false;
        if (type == 0x5)
            return memchr(p + pos, 0, n) != nullptr;
        for (uint64_t k = 0; k < n && pos + 2 * k + 1 < table; ++k)
            if (p[pos + 2 * k] == 0 && p[pos + 2 * k + 1] == 0)
                return true;
        return false;
    };

    // Children of object i, or false when its encoding runs outside the file.
    auto children = [&](uint64_t i, std::vector<uint64_t> &out) -> bool {
        out.clear();
        uint64_t o = offset_of(i);
        if (o < 8 || o >= table)
            return false;
        uint8_t type = p[o] >> 4;
        if (type != 0xA && type != 0xC && type != 0xD)
            return true;
        uint64_t n = 0, pos = 0;
        if (!count_at(o, n, pos))
            return false;
        uint64_t refs = type == 0xD ? n * 2 : n;
        if (n > table || refs > (table - pos) / ref_size)
            return false;
        for (uint64_t k = 0; k < refs; ++k) {
            uint64_t r = read_be(p + pos + k * ref_size, ref_size);
            if (r >= count || (type == 0xD && k < n && key_holds_nul(r)))
                return false;
            out.push_back(r);
        }
        return true;
    };

    enum : uint8_t { kNew, kOpen, kDone };
    std::vector<uint8_t> state(count, kNew);
    std::vector<uint16_t> depth(count, 0);
    std::vector<uint64_t> nodes(count, 0);
    struct Frame {
        uint64_t obj;
        std::vector<uint64_t> kids;
        size_t next;
    };
    std::vector<Frame> stack;
    std::vector<uint64_t> kids;
    if (!children(top, kids))
        return false;
    stack.push_back({top, kids, 0});
    state[top] = kOpen;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next < f.kids.size()) {
            uint64_t c = f.kids[f.next++];
            if (state[c] == kOpen)
                return false;  // a container that holds itself
            if (state[c] == kNew) {
                if (stack.size() > static_cast<size_t>(kMaxDepth) || !children(c, kids))
                    return false;
                state[c] = kOpen;
                stack.push_back({c, kids, 0});
            }
            continue;
        }
        uint16_t d = 0;
        uint64_t total = 1;
        for (uint64_t c : f.kids) {
            d = std::max<uint16_t>(d, static_cast<uint16_t>(depth[c] + 1));
            total += nodes[c];
            if (total > kMaxExpandedObjects)
                return false;
        }
        if (d > kMaxDepth)
            return false;
        depth[f.obj] = d;
        nodes[f.obj] = total;
        state[f.obj] = kDone;
        stack.pop_back();
    }
    return true;
}

// libplist accepts a document whose end was cut off right after the root element; a
// file that lost its closing tag is truncated and must not load.
bool xml_is_complete(const char *p, size_t len)
{
    std::string_view text(p, len);
    if (text.find("<plist") == std::string_view::npos)
        return true;
    size_t end = text.find_last_not_of(std::string_view(" \t\r\n\0", 5));
    constexpr std::string_view close = "</plist>";
    return end != std::string_view::npos && end + 1 >= close.size() &&
           text.substr(end + 1 - close.size(), close.size()) == close;
}

}  // namespace

plobj *parse(const void *bytes, size_t len, bool is_mutable)
{
    if (!bytes || len == 0 || len > UINT32_MAX)
        return nullptr;
    try {
        auto *p = static_cast<const char *>(bytes);
        plist_t root = nullptr;
        if (len >= 8 && memcmp(p, "bplist00", 8) == 0) {
            if (binary_graph_is_sane(static_cast<const uint8_t *>(bytes), len))
                plist_from_bin(p, static_cast<uint32_t>(len), &root);
        } else if (xml_is_complete(p, len) && xml_nesting_is_sane(p, len)) {
            plist_from_xml(p, static_cast<uint32_t>(len), &root);
        }
        if (!root)
            return nullptr;
        PlistPtr guard(root);
        return Converter(is_mutable).convert(root, 0);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace bwv::pl
