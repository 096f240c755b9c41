#include "base/plist_guard.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace bwv::pl {

namespace {

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
        if (depth > kMaxPlistDepth)
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

// Walks the object graph of a bplist00 without building it: nesting depth, cycles, and
// what the tree would cost once every reference is a copy. The allowance grows with the
// input, so no file makes the reader spend more than a fixed multiple of its size. A list
// whose containers are not shared has at most one node per reference, and a reference
// takes at least a byte, so such a list always fits; shared containers get the fixed
// margin. A shared string costs its length at every reference.
bool binary_graph_is_sane(const uint8_t *p, size_t len)
{
    if (len < 8 + 32)
        return false;
    const uint64_t max_nodes = uint64_t{len} + (uint64_t{1} << 16);
    const uint64_t max_bytes = 16 * uint64_t{len} + (uint64_t{1} << 20);
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

    // Children of object i and the bytes of text or data each copy of it holds, or false
    // when its encoding runs outside the file.
    auto children = [&](uint64_t i, std::vector<uint64_t> &out, uint64_t &bytes) -> bool {
        out.clear();
        bytes = 0;
        uint64_t o = offset_of(i);
        if (o < 8 || o >= table)
            return false;
        uint8_t type = p[o] >> 4;
        if (type != 0x4 && type != 0x5 && type != 0x6 && type != 0xA && type != 0xC && type != 0xD)
            return true;
        uint64_t n = 0, pos = 0;
        if (!count_at(o, n, pos) || n > table)
            return false;
        if (type == 0x4 || type == 0x5 || type == 0x6) {
            // UTF-16 text grows to at most three bytes of UTF-8 per unit.
            bytes = type == 0x6 ? 3 * n : n;
            return n <= (table - pos) / (type == 0x6 ? 2 : 1);
        }
        uint64_t refs = type == 0xD ? n * 2 : n;
        if (refs > (table - pos) / ref_size)
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
    std::vector<uint64_t> nodes(count, 0), bytes(count, 0);
    struct Frame {
        uint64_t obj;
        std::vector<uint64_t> kids;
        size_t next;
    };
    std::vector<Frame> stack;
    std::vector<uint64_t> kids;
    if (!children(top, kids, bytes[top]))
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
                if (stack.size() > static_cast<size_t>(kMaxPlistDepth) || !children(c, kids, bytes[c]))
                    return false;
                state[c] = kOpen;
                stack.push_back({c, kids, 0});
            }
            continue;
        }
        uint16_t d = 0;
        uint64_t total_nodes = 1, total_bytes = bytes[f.obj];
        for (uint64_t c : f.kids) {
            d = std::max<uint16_t>(d, static_cast<uint16_t>(depth[c] + 1));
            total_nodes += nodes[c];
            total_bytes += bytes[c];
            if (total_nodes > max_nodes || total_bytes > max_bytes)
                return false;
        }
        if (d > kMaxPlistDepth || total_bytes > max_bytes)
            return false;
        depth[f.obj] = d;
        nodes[f.obj] = total_nodes;
        bytes[f.obj] = total_bytes;
        state[f.obj] = kDone;
        stack.pop_back();
    }
    return true;
}

}  // namespace

bool safe_for_libplist(const void *bytes, size_t len)
{
    if (!bytes)
        return false;
    const auto *p = static_cast<const uint8_t *>(bytes);
    if (len >= 8 && memcmp(p, "bplist00", 8) == 0)
        return binary_graph_is_sane(p, len);
    return xml_nesting_is_sane(static_cast<const char *>(bytes), len);
}

}  // namespace bwv::pl
