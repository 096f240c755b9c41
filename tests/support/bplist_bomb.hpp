// Binary property lists built object by object, for shapes no writer produces: objects
// referred to many times over, the expansion bombs the readers must refuse.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bwv::test {

struct BplistObject {
    std::string head;            // marker and inline content
    std::vector<uint64_t> refs;  // indices of the objects it holds (keys, then values)
};

inline void put_be(std::string &out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline std::string bplist_marker(uint8_t type, uint64_t count) {
    std::string m(1, static_cast<char>(type << 4 | (count < 15 ? count : 15)));
    if (count >= 15) {
        m += '\x13';
        put_be(m, count, 8);
    }
    return m;
}

inline BplistObject bplist_string(const std::string &s) { return {bplist_marker(0x5, s.size()) + s, {}}; }
inline BplistObject bplist_array(std::vector<uint64_t> refs) {
    return {bplist_marker(0xA, refs.size()), std::move(refs)};
}
inline BplistObject bplist_dict(std::vector<uint64_t> keys, const std::vector<uint64_t> &values) {
    std::string head = bplist_marker(0xD, keys.size());
    keys.insert(keys.end(), values.begin(), values.end());
    return {std::move(head), std::move(keys)};
}

// Object 0 is the root; references take ref_width bytes, or as few as fit.
inline std::string bplist(const std::vector<BplistObject> &objects, int ref_width = 0) {
    const int ref = ref_width ? ref_width : objects.size() < 0x100 ? 1 : objects.size() < 0x10000 ? 2 : 4;
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const BplistObject &o : objects) {
        offsets.push_back(out.size());
        out += o.head;
        for (uint64_t r : o.refs) put_be(out, r, ref);
    }
    const uint64_t table = out.size();
    const int off = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (uint64_t o : offsets) put_be(out, o, off);
    out += std::string(6, '\0') + static_cast<char>(off) + static_cast<char>(ref);
    put_be(out, objects.size(), 8);
    put_be(out, 0, 8);
    put_be(out, table, 8);
    return out;
}

// A dictionary {key: A1} where each Ai is an array holding A(i+1) twice and the last
// object is `leaf`: 2^levels copies of the leaf once expanded. `extra` adds objects after
// those, for the caller's own root entries (refs into it start at levels + 3).
inline std::string doubling_bomb(int levels, const BplistObject &leaf, const std::string &key = "Bomb",
                                 std::vector<uint64_t> extra_keys = {}, std::vector<uint64_t> extra_values = {},
                                 const std::vector<BplistObject> &extra = {}, int ref_width = 0) {
    std::vector<BplistObject> objs;
    extra_keys.insert(extra_keys.begin(), 1);
    extra_values.insert(extra_values.begin(), 2);
    objs.push_back(bplist_dict(extra_keys, extra_values));
    objs.push_back(bplist_string(key));
    for (int i = 0; i < levels; ++i)
        objs.push_back(bplist_array({static_cast<uint64_t>(i + 3), static_cast<uint64_t>(i + 3)}));
    objs.push_back(leaf);
    objs.insert(objs.end(), extra.begin(), extra.end());
    return bplist(objs, ref_width);
}

}  // namespace bwv::test
