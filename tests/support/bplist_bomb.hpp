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
    out.append(6, '\0');
    out += static_cast<char>(off);
    out += static_cast<char>(ref);
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

inline BplistObject bplist_uid(uint64_t uid) {
    return {std::string("\x81", 1) + char(uid >> 8) + char(uid & 0xFF), {}};
}

// A keyed archive of {"list": [d1 ... dn]} whose n distinct dictionaries all map one key
// to one value, each stored once: {key: value} n times over once decoded. The n records
// are one object of the list written once.
inline std::string archive_of_shared(uint64_t n, const std::string &key, const std::string &value) {
    auto s = [](const char *t) { return bplist_string(t); };
    std::vector<BplistObject> o{bplist_dict({1, 3, 5, 7}, {2, 4, 6, 10}),
                                s("$archiver"),
                                s("NSKeyedArchiver"),
                                s("$version"),
                                {std::string("\x12\x00\x01\x86\xa0", 5), {}},
                                s("$top"),
                                bplist_dict({8}, {9}),
                                s("$objects"),
                                s("root"),
                                bplist_uid(1),
                                {},
                                s("$null"),
                                bplist_dict({20, 21, 22}, {23, 24, 25}),
                                s("list"),
                                bplist_dict({21, 22}, {26, 27}),
                                bplist_dict({28, 29}, {30, 31}),
                                bplist_dict({28, 29}, {32, 33}),
                                bplist_string(key),
                                bplist_string(value),
                                bplist_dict({20, 21, 22}, {34, 35, 25}),
                                s("NS.keys"),
                                s("NS.objects"),
                                s("$class"),
                                bplist_array({36}),
                                bplist_array({37}),
                                bplist_uid(4),
                                {},
                                bplist_uid(5),
                                s("$classname"),
                                s("$classes"),
                                s("NSDictionary"),
                                bplist_array({30}),
                                s("NSArray"),
                                bplist_array({32}),
                                bplist_array({38}),
                                bplist_array({39}),
                                bplist_uid(2),
                                bplist_uid(3),
                                bplist_uid(6),
                                bplist_uid(7)};
    std::vector<uint64_t> objects{11, 12, 13, 14, 15, 16, 17, 18}, items;
    for (uint64_t i = 0; i < n; ++i) objects.push_back(19), items.push_back(o.size()), o.push_back(bplist_uid(8 + i));
    o[10] = bplist_array(objects);
    o[26] = bplist_array(items);
    return bplist(o);
}

// A property list {"list": [d1 ... dn]} of n distinct dictionaries, each {key: "v"}, the
// key one UTF-16 text of `units` units.
inline std::string list_of_shared_key(uint64_t n, uint64_t units) {
    std::vector<BplistObject> o{
        bplist_dict({1}, {2}), bplist_string("list"), {}, {bplist_marker(0x6, units), {}}, bplist_string("v")};
    for (uint64_t i = 0; i < units; ++i) o[3].head += std::string("\0k", 2);
    std::vector<uint64_t> items;
    for (uint64_t i = 0; i < n; ++i) items.push_back(o.size()), o.push_back(bplist_dict({3}, {4}));
    o[2] = bplist_array(items);
    return bplist(o);
}

}  // namespace bwv::test
