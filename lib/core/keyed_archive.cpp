#include "lib/core/keyed_archive.hpp"

#include "lib/base/plist_guard.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace bwv::archive {
namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct FreeBuf {
    void operator()(char *p) const { std::free(p); }
};

// ---------------------------------------------------------------------------------------
// Writing

class Writer {
public:
    bool encode_root(const plobj *root, uint64_t &uid) { return encode(root, 0, uid); }

    // Builds the property list of the whole archive; takes the objects collected so far.
    PlistPtr finish(uint64_t root_uid) {
        PlistPtr top(plist_new_dict());
        plist_dict_set_item(top.get(), "$version", plist_new_uint(100000));
        plist_dict_set_item(top.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_t t = plist_new_dict();
        plist_dict_set_item(t, "root", plist_new_uid(root_uid));
        plist_dict_set_item(top.get(), "$top", t);
        plist_t objs = plist_new_array();
        for (auto &o : objects_) plist_array_append_item(objs, o.release());
        objects_.clear();
        plist_dict_set_item(top.get(), "$objects", objs);
        return top;
    }

    Writer() { add(plist_new_string("$null")); }

private:
    uint64_t add(plist_t node) {
        // Owned before the table grows, so a failed growth frees the node.
        PlistPtr owned(node);
        objects_.push_back(std::move(owned));
        return objects_.size() - 1;
    }
    uint64_t reserve() { return add(nullptr); }
    void fill(uint64_t uid, plist_t node) { objects_[uid].reset(node); }

    uint64_t class_uid(const char *name, std::initializer_list<const char *> chain) {
        auto it = classes_.find(name);
        if (it != classes_.end()) return it->second;
        plist_t rec = plist_new_dict();
        plist_dict_set_item(rec, "$classname", plist_new_string(name));
        plist_t arr = plist_new_array();
        for (const char *c : chain) plist_array_append_item(arr, plist_new_string(c));
        plist_dict_set_item(rec, "$classes", arr);
        uint64_t uid = add(rec);
        classes_.emplace(name, uid);
        return uid;
    }

    // Equal scalars share one entry, as they do in Foundation's archives; containers and
    // data are shared only when they are the same object.
    template <typename Map, typename Key>
    uint64_t scalar(Map &cache, const Key &key, plist_t (*make)(const Key &)) {
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
        uint64_t uid = add(make(key));
        cache.emplace(key, uid);
        return uid;
    }

    bool encode(const plobj *obj, int depth, uint64_t &uid) {
        if (!obj) return false;
        switch (pl::kind(obj)) {
            case pl::Kind::String: {
                const std::string &s = pl::string_value(obj);
                // libplist takes NUL-terminated text; a string with an inner NUL would be cut.
                if (s.find('\0') != std::string::npos) return false;
                uid = scalar<decltype(strings_), std::string>(
                    strings_, s, [](const std::string &v) { return plist_new_string(v.c_str()); });
                return true;
            }
            case pl::Kind::Integer:
                if (pl::int_is_unsigned(obj)) return false;
                uid = scalar<decltype(ints_), int64_t>(ints_, pl::int_value(obj), [](const int64_t &v) {
                    return plist_new_uint(static_cast<uint64_t>(v));
                });
                return true;
            case pl::Kind::Real: {
                double d = pl::real_value(obj);
                uint64_t bits;
                std::memcpy(&bits, &d, sizeof bits);
                uid = scalar<decltype(reals_), uint64_t>(reals_, bits, [](const uint64_t &b) {
                    double v;
                    std::memcpy(&v, &b, sizeof v);
                    return plist_new_real(v);
                });
                return true;
            }
            case pl::Kind::Boolean:
                uid = scalar<decltype(bools_), bool>(bools_, pl::bool_value(obj),
                                                     [](const bool &v) { return plist_new_bool(v ? 1 : 0); });
                return true;
            case pl::Kind::Data: {
                if (auto it = shared_.find(obj); it != shared_.end()) {
                    uid = it->second;
                    return true;
                }
                const auto &d = pl::data_value(obj);
                uid = add(plist_new_data(reinterpret_cast<const char *>(d.data()), d.size()));
                shared_.emplace(obj, uid);
                return true;
            }
            case pl::Kind::Date:
            case pl::Kind::Array:
            case pl::Kind::Dict:
                return encode_object(obj, depth, uid);
        }
        return false;  // no kind is left: the switch returns for each
    }

    bool encode_object(const plobj *obj, int depth, uint64_t &uid) {
        if (auto it = shared_.find(obj); it != shared_.end()) {
            uid = it->second;
            return true;
        }
        if (depth >= kMaxDepth) return false;
        // A container met again before it is finished is its own ancestor.
        if (!in_progress_.emplace(obj).second) return false;
        uint64_t self = reserve();
        plist_t rec = plist_new_dict();
        PlistPtr guard(rec);
        switch (pl::kind(obj)) {
            case pl::Kind::Date:
                plist_dict_set_item(rec, "NS.time", plist_new_real(pl::date_value(obj)));
                plist_dict_set_item(rec, "$class", plist_new_uid(class_uid("NSDate", {"NSDate", "NSObject"})));
                break;
            case pl::Kind::Array: {
                std::vector<uint64_t> items;
                for (size_t i = 0, n = pl::count(obj); i < n; ++i) {
                    uint64_t u;
                    if (!encode(pl::array_at(obj, i), depth + 1, u)) return false;
                    items.push_back(u);
                }
                plist_dict_set_item(rec, "NS.objects", uid_array(items));
                uint64_t cls = pl::is_mutable(obj)
                                   ? class_uid("NSMutableArray", {"NSMutableArray", "NSArray", "NSObject"})
                                   : class_uid("NSArray", {"NSArray", "NSObject"});
                plist_dict_set_item(rec, "$class", plist_new_uid(cls));
                break;
            }
            default: {
                // All keys first, then all values, then the class: the order Foundation's
                // dictionary coder produces.
                auto entries = pl::dict_entries(obj);
                std::vector<uint64_t> keys, values;
                for (auto &e : entries) {
                    if (e.first.find('\0') != std::string::npos) return false;
                    keys.push_back(scalar<decltype(strings_), std::string>(
                        strings_, e.first, [](const std::string &v) { return plist_new_string(v.c_str()); }));
                }
                for (auto &e : entries) {
                    uint64_t u;
                    if (!encode(e.second, depth + 1, u)) return false;
                    values.push_back(u);
                }
                plist_dict_set_item(rec, "NS.keys", uid_array(keys));
                plist_dict_set_item(rec, "NS.objects", uid_array(values));
                plist_dict_set_item(rec, "$class",
                                    plist_new_uid(class_uid("NSMutableDictionary",
                                                            {"NSMutableDictionary", "NSDictionary", "NSObject"})));
                break;
            }
        }
        fill(self, static_cast<plist_t>(guard.release()));
        in_progress_.erase(obj);
        shared_.emplace(obj, self);
        uid = self;
        return true;
    }

    static plist_t uid_array(const std::vector<uint64_t> &uids) {
        plist_t a = plist_new_array();
        for (uint64_t u : uids) plist_array_append_item(a, plist_new_uid(u));
        return a;
    }

    std::vector<PlistPtr> objects_;
    std::map<std::string, uint64_t, std::less<>> classes_;
    std::unordered_map<std::string, uint64_t> strings_;
    std::unordered_map<int64_t, uint64_t> ints_;
    std::unordered_map<uint64_t, uint64_t> reals_;
    std::map<bool, uint64_t> bools_;
    std::unordered_map<const plobj *, uint64_t> shared_;
    std::unordered_set<const plobj *> in_progress_;
};

// ---------------------------------------------------------------------------------------
// Guards run before libplist sees a peer's bytes. libplist builds a tree, copying every
// object each time it is referred to, and recurses over nesting; a hostile archive could
// otherwise make it build an exponentially large tree or exhaust the stack. A keyed
// archive is shallow (root dictionary, $objects, object records, UID arrays) and refers
// to each container once, so honest archives pass with a wide margin.

constexpr int kMaxPlistNesting = 32;

uint64_t read_be(const unsigned char *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

class BplistScan {
public:
    BplistScan(const unsigned char *b, size_t len) : b_(b), len_(len) {}

    bool ok() {
        if (len_ < 8 + 32) return false;
        const unsigned char *t = b_ + len_ - 32;
        off_size_ = t[6];
        ref_size_ = t[7];
        uint64_t nobj = read_be(t + 8, 8);
        uint64_t top = read_be(t + 16, 8);
        uint64_t table = read_be(t + 24, 8);
        if (off_size_ < 1 || off_size_ > 8 || ref_size_ < 1 || ref_size_ > 8) return false;
        if (nobj == 0 || nobj > len_ || top >= nobj) return false;
        if (table < 8 || table >= len_ - 32 || nobj > (len_ - 32 - table) / off_size_) return false;
        nobj_ = nobj;
        table_ = table;
        // Nodes libplist may build: bounded by a small multiple of the input size.
        budget_ = 4 * static_cast<uint64_t>(len_) + 4096;
        memo_.assign(nobj_, 0);
        return size_of(top, 0) != 0;
    }

private:
    // Number of tree nodes object i expands to; 0 on any structural problem.
    uint64_t size_of(uint64_t i, int depth) {
        if (i >= nobj_ || depth > kMaxPlistNesting) return 0;
        if (memo_[i] == kBusy) return 0;
        if (memo_[i]) return memo_[i];
        uint64_t off = read_be(b_ + table_ + i * off_size_, off_size_);
        if (off < 8 || off >= table_) return 0;
        unsigned char marker = b_[off];
        unsigned type = marker >> 4;
        uint64_t total = 1;
        if (type == 0xA || type == 0xC || type == 0xD) {
            uint64_t count = marker & 0x0F;
            uint64_t pos = off + 1;
            if (count == 0x0F) {
                if (pos >= table_) return 0;
                unsigned char im = b_[pos];
                if ((im >> 4) != 0x1) return 0;
                unsigned n = 1u << (im & 0x0F);
                if (n > 8 || pos + 1 + n > table_) return 0;
                count = read_be(b_ + pos + 1, n);
                pos += 1 + n;
            }
            uint64_t refs = type == 0xD ? count * 2 : count;
            if (count > len_ || refs > (table_ - pos) / ref_size_) return 0;
            memo_[i] = kBusy;
            for (uint64_t r = 0; r < refs; ++r) {
                uint64_t child = read_be(b_ + pos + r * ref_size_, ref_size_);
                uint64_t s = size_of(child, depth + 1);
                if (!s) return 0;
                total += s;
                if (total > budget_) return 0;
            }
        }
        memo_[i] = total;
        return total;
    }

    static constexpr uint64_t kBusy = ~uint64_t{0};
    const unsigned char *b_;
    size_t len_;
    unsigned off_size_ = 0, ref_size_ = 0;
    uint64_t nobj_ = 0, table_ = 0, budget_ = 0;
    std::vector<uint64_t> memo_;
};

PlistPtr parse_guarded(const void *bytes, size_t len) {
    if (!bytes || len == 0 || len > UINT32_MAX) return nullptr;
    const auto *b = static_cast<const unsigned char *>(bytes);
    bool binary = len >= 8 && std::memcmp(b, "bplist00", 8) == 0;
    if (binary) {
        // The scan counts nodes only; a string shared by many references costs its
        // length at each of them, which the property-list guard bounds.
        if (!BplistScan(b, len).ok() || !pl::safe_for_libplist(b, len)) return nullptr;
    } else if (!pl::xml_depth_within(b, len, kMaxPlistNesting)) {
        return nullptr;
    }
    plist_t p = nullptr;
    if (binary)
        plist_from_bin(reinterpret_cast<const char *>(b), static_cast<uint32_t>(len), &p);
    else
        plist_from_xml(reinterpret_cast<const char *>(b), static_cast<uint32_t>(len), &p);
    return PlistPtr(p);
}

// ---------------------------------------------------------------------------------------
// Reading

// A reference: a UID in binary archives, {"CF$UID": n} in XML ones.
// out is 0 for anything else, which every caller refuses as it refuses $null.
bool as_uid(plist_t n, uint64_t &out) {
    out = 0;
    if (!n) return false;
    plist_type t = plist_get_node_type(n);
    if (t == PLIST_UID) {
        plist_get_uid_val(n, &out);
        return true;
    }
    if (t == PLIST_DICT && plist_dict_get_size(n) == 1) {
        plist_t v = plist_dict_get_item(n, "CF$UID");
        if (v && plist_get_node_type(v) == PLIST_UINT) {
            plist_get_uint_val(v, &out);
            return true;
        }
    }
    return false;  // out stays 0
}

std::string_view string_of(plist_t n) {
    uint64_t len = 0;
    const char *p = plist_get_string_ptr(n, &len);
    return p ? std::string_view(p, len) : std::string_view();
}

enum class Cls { Dict, MutableDict, Array, MutableArray, String, MutableString, Data, MutableData, Date };

class Reader {
public:
    Reader(std::vector<plist_t> objects, size_t input_len)
        : objects_(std::move(objects)),
          memo_(objects_.size()),
          state_(objects_.size(), 0),
          size_(objects_.size(), 0),
          bytes_(objects_.size(), 0),
          max_bytes_(kOwnBytesPerInputByte * uint64_t{input_len} +
                     std::min(kSharedBytesPerInputByte * uint64_t{input_len} + kSharedBytesBase, kMaxSharedBytes)) {}

    pl::Ref decode(uint64_t uid, int depth) {
        if (uid == 0 || uid >= objects_.size() || depth > kMaxDepth) return {};
        if (state_[uid] == kDone) return memo_[uid];
        if (state_[uid] == kBusy) return {};
        state_[uid] = kBusy;
        uint64_t outer = expanded_, outer_bytes = expanded_bytes_;
        expanded_ = 1;
        expanded_bytes_ = kNodeBytes;
        pl::Ref r = decode_node(objects_[uid], depth);
        if (r && pl::kind(r.get()) == pl::Kind::String)
            expanded_bytes_ += pl::string_value(r.get()).size();
        else if (r && pl::kind(r.get()) == pl::Kind::Data)
            expanded_bytes_ += 2 * pl::data_value(r.get()).size();  // described in hex
        size_[uid] = expanded_;
        bytes_[uid] = expanded_bytes_;
        expanded_ = outer;
        expanded_bytes_ = outer_bytes;
        if (!r || bytes_[uid] > max_bytes_) return {};
        memo_[uid] = r;
        state_[uid] = kDone;
        return r;
    }

private:
    static constexpr uint8_t kBusy = 1, kDone = 2;

    // An object shared by several containers is decoded once, but whoever walks the
    // result (copies, descriptions) visits it once per reference. Archives whose walk
    // would be far larger than any message are refused.
    static constexpr uint64_t kMaxExpanded = uint64_t{1} << 20;

    // The same holds for text: a string shared by many dictionaries, as their key or as a
    // value, is copied into each dictionary's keys and printed in each place by a
    // description. An archive that shares nothing always fits (a node takes at least three
    // bytes, data is printed in hex); what sharing adds is a multiple of the archive's
    // size, never more than kMaxSharedBytes.
    static constexpr uint64_t kNodeBytes = 16;  // punctuation and a number's digits
    static constexpr uint64_t kOwnBytesPerInputByte = 8;
    static constexpr uint64_t kSharedBytesPerInputByte = 24;
    static constexpr uint64_t kSharedBytesBase = uint64_t{1} << 20;
    static constexpr uint64_t kMaxSharedBytes = uint64_t{32} << 20;

    bool grow(uint64_t child) {
        expanded_ += size_[child];
        return grow_bytes(bytes_[child]) && expanded_ <= kMaxExpanded;
    }
    bool grow_bytes(uint64_t n) {
        expanded_bytes_ += n;
        return expanded_bytes_ <= max_bytes_;
    }

    pl::Ref decode_node(plist_t n, int depth) {
        switch (plist_get_node_type(n)) {
            case PLIST_STRING: {
                auto s = string_of(n);
                return pl::Ref(pl::make_string(s));
            }
            case PLIST_UINT: {
                uint64_t v = 0;
                plist_get_uint_val(n, &v);
                return pl::Ref(pl::make_int(static_cast<int64_t>(v)));
            }
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(n, &d);
                return pl::Ref(pl::make_real(d));
            }
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(n, &b);
                return pl::Ref(pl::make_bool(b != 0));
            }
            case PLIST_DATA: {
                uint64_t len = 0;
                const char *p = plist_get_data_ptr(n, &len);
                return pl::Ref(pl::make_data(p, p ? len : 0));
            }
            case PLIST_DICT:
                return decode_object(n, depth);
            default:
                return {};
        }
    }

    bool class_of(plist_t rec, Cls &cls) {
        uint64_t cu;
        if (!as_uid(plist_dict_get_item(rec, "$class"), cu) || cu == 0 || cu >= objects_.size()) return false;
        plist_t c = objects_[cu];
        if (plist_get_node_type(c) != PLIST_DICT) return false;
        plist_t name = plist_dict_get_item(c, "$classname");
        if (!name || plist_get_node_type(name) != PLIST_STRING) return false;
        static const std::pair<std::string_view, Cls> known[] = {
            {"NSDictionary", Cls::Dict}, {"NSMutableDictionary", Cls::MutableDict},
            {"NSArray", Cls::Array},     {"NSMutableArray", Cls::MutableArray},
            {"NSString", Cls::String},   {"NSMutableString", Cls::MutableString},
            {"NSData", Cls::Data},       {"NSMutableData", Cls::MutableData},
            {"NSDate", Cls::Date},
        };
        auto sv = string_of(name);
        for (auto &k : known)
            if (k.first == sv) {
                cls = k.second;
                return true;
            }
        return false;
    }

    // Our dictionaries are keyed by text. Peers also key by numbers (process ids, for
    // one); such a key is kept as its decimal text, which is also how it is described.
    static bool key_text(const plobj *k, std::string &out) {
        if (pl::kind(k) == pl::Kind::String) {
            out = pl::string_value(k);
            return true;
        }
        if (pl::kind(k) == pl::Kind::Integer && !pl::int_is_unsigned(k)) {
            out = std::to_string(pl::int_value(k));
            return true;
        }
        return false;
    }

    bool uid_list(plist_t rec, const char *key, std::vector<uint64_t> &out) {
        plist_t a = plist_dict_get_item(rec, key);
        if (!a || plist_get_node_type(a) != PLIST_ARRAY) return false;
        uint32_t n = plist_array_get_size(a);
        out.reserve(n);
        plist_array_iter it = nullptr;
        plist_array_new_iter(a, &it);
        for (uint32_t i = 0; i < n; ++i) {
            plist_t item = nullptr;
            plist_array_next_item(a, it, &item);
            uint64_t u;
            if (!as_uid(item, u)) {
                std::free(it);
                return false;
            }
            out.push_back(u);
        }
        std::free(it);
        return true;
    }

    pl::Ref decode_object(plist_t rec, int depth) {
        Cls cls;
        if (!class_of(rec, cls)) return {};
        switch (cls) {
            case Cls::String:
            case Cls::MutableString: {
                plist_t s = plist_dict_get_item(rec, "NS.string");
                if (!s || plist_get_node_type(s) != PLIST_STRING) return {};
                return pl::Ref(pl::make_string(string_of(s), cls == Cls::MutableString));
            }
            case Cls::Data:
            case Cls::MutableData: {
                plist_t d = plist_dict_get_item(rec, "NS.data");
                if (!d || plist_get_node_type(d) != PLIST_DATA) return {};
                uint64_t len = 0;
                const char *p = plist_get_data_ptr(d, &len);
                return pl::Ref(pl::make_data(p, p ? len : 0, cls == Cls::MutableData));
            }
            case Cls::Date: {
                plist_t t = plist_dict_get_item(rec, "NS.time");
                double secs = 0;
                if (t && plist_get_node_type(t) == PLIST_REAL) {
                    plist_get_real_val(t, &secs);
                } else if (t && plist_get_node_type(t) == PLIST_UINT) {
                    uint64_t v = 0;
                    plist_get_uint_val(t, &v);
                    secs = static_cast<double>(static_cast<int64_t>(v));
                } else {
                    return {};
                }
                return pl::Ref(pl::make_date(secs));
            }
            case Cls::Array:
            case Cls::MutableArray: {
                std::vector<uint64_t> items;
                if (!uid_list(rec, "NS.objects", items)) return {};
                // Decoded arrays stay mutable whatever their class: nothing here depends on
                // it, and freezing one would need a deep copy.
                pl::Ref arr(pl::make_array(true));
                for (uint64_t u : items) {
                    pl::Ref v = decode(u, depth + 1);
                    if (!v || !grow(u) || !pl::array_append(arr.get(), v.get())) return {};
                }
                return arr;
            }
            case Cls::Dict:
            case Cls::MutableDict: {
                std::vector<uint64_t> keys, values;
                if (!uid_list(rec, "NS.keys", keys) || !uid_list(rec, "NS.objects", values) ||
                    keys.size() != values.size())
                    return {};
                pl::Ref dict(pl::make_dict(true));
                for (size_t i = 0; i < keys.size(); ++i) {
                    pl::Ref k = decode(keys[i], depth + 1);
                    std::string key;
                    // Each dictionary keeps its own copy of a key: counted before it is made.
                    if (!k || !grow_bytes(bytes_[keys[i]]) || !key_text(k.get(), key)) return {};
                    pl::Ref v = decode(values[i], depth + 1);
                    // Two keys with one text (5 and "5") would lose a value: refused.
                    if (!v || !grow(values[i]) || pl::dict_get(dict.get(), key) ||
                        !pl::dict_set(dict.get(), key, v.get()))
                        return {};
                }
                return dict;
            }
        }
        return {};
    }

    std::vector<plist_t> objects_;
    std::vector<pl::Ref> memo_;
    std::vector<uint8_t> state_;
    std::vector<uint64_t> size_;   // nodes a walk of each decoded object visits
    std::vector<uint64_t> bytes_;  // text such a walk produces
    uint64_t max_bytes_;
    uint64_t expanded_ = 0;        // nodes of the object being decoded, so far
    uint64_t expanded_bytes_ = 0;  // and its text
};

}  // namespace

bool archive_root(const plobj *root, std::string &out) {
    try {
        Writer w;
        uint64_t root_uid = 0;
        if (!w.encode_root(root, root_uid)) return false;
        PlistPtr top = w.finish(root_uid);
        char *bin = nullptr;
        uint32_t len = 0;
        plist_to_bin(top.get(), &bin, &len);
        std::unique_ptr<char, FreeBuf> owned(bin);
        if (!bin || len == 0) return false;
        out.assign(bin, len);
        return true;
    } catch (...) {
        return false;
    }
}

plobj *unarchive_root(const void *bytes, size_t len) {
    try {
        PlistPtr top = parse_guarded(bytes, len);
        if (!top || plist_get_node_type(top.get()) != PLIST_DICT) return nullptr;
        plist_t archiver = plist_dict_get_item(top.get(), "$archiver");
        if (!archiver || plist_get_node_type(archiver) != PLIST_STRING || string_of(archiver) != "NSKeyedArchiver")
            return nullptr;
        plist_t t = plist_dict_get_item(top.get(), "$top");
        plist_t objs = plist_dict_get_item(top.get(), "$objects");
        if (!t || plist_get_node_type(t) != PLIST_DICT || !objs || plist_get_node_type(objs) != PLIST_ARRAY)
            return nullptr;
        uint64_t root_uid;
        if (!as_uid(plist_dict_get_item(t, "root"), root_uid)) return nullptr;

        std::vector<plist_t> objects;
        uint32_t n = plist_array_get_size(objs);
        objects.reserve(n);
        plist_array_iter it = nullptr;
        plist_array_new_iter(objs, &it);
        for (uint32_t i = 0; i < n; ++i) {
            plist_t item = nullptr;
            plist_array_next_item(objs, it, &item);
            if (!item) break;
            objects.push_back(item);
        }
        std::free(it);
        if (objects.size() != n) return nullptr;

        Reader r(std::move(objects), len);
        return r.decode(root_uid, 0).release();
    } catch (const std::bad_alloc &) {
        // Running out of memory says nothing about the bytes; callers must not take it
        // for an archive that does not decode.
        throw;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace bwv::archive
