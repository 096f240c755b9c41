// Binary property lists (bplist00), written straight from our objects so that dates,
// integers above INT64_MAX and keyed-archive UIDs keep their exact values.
#include "lib/core/plobj_impl.hpp"

#include <bit>
#include <cstring>
#include <unordered_map>

namespace bwv::pl {

using namespace detail;

namespace {

constexpr int kMaxDepth = 512;
struct TooDeep {};

class BinaryWriter {
public:
    std::string write(const plobj *root) {
        collect(root);
        ref_size_ = objects_.size() < 0x100 ? 1 : objects_.size() < 0x10000 ? 2 : 4;
        out_ = "bplist00";
        offsets_.reserve(objects_.size());
        for (const Entry &e : objects_) emit(e);
        uint64_t table = out_.size();
        uint64_t max_off = offsets_.empty() ? 0 : offsets_.back();
        int off_size = max_off < 0x100 ? 1 : max_off < 0x10000 ? 2 : max_off < 0x100000000ull ? 4 : 8;
        for (uint64_t off : offsets_) be(off, off_size);
        out_.append(6, '\0');
        out_ += static_cast<char>(off_size);
        out_ += static_cast<char>(ref_size_);
        be(objects_.size(), 8);
        be(0, 8);  // the root is object 0
        be(table, 8);
        return std::move(out_);
    }

private:
    // An object to emit, or a key string that exists only as a dictionary key.
    struct Entry {
        const plobj *obj;
        const std::string *key;
    };

    // Depth-first numbering; the child indices of a container are known once collected.
    uint64_t collect(const plobj *o, int depth = 0) {
        if (depth > kMaxDepth) throw TooDeep{};
        uint64_t uid;
        if (o->kind == Kind::String) return string_index(&as_string(o)->value, o);
        uint64_t index = objects_.size();
        objects_.push_back({o, nullptr});
        if (uid_value(o, &uid)) return index;
        if (o->kind == Kind::Array) {
            std::vector<uint64_t> refs;
            refs.reserve(as_array(o)->items.size());
            for (const plobj *i : as_array(o)->items) refs.push_back(collect(i, depth + 1));
            children_[index] = std::move(refs);
        } else if (o->kind == Kind::Dict) {
            const auto &entries = as_dict(o)->entries;
            std::vector<uint64_t> refs(entries.size() * 2);
            size_t k = 0;
            for (const auto &e : entries) {
                refs[k] = string_index(&e.first, nullptr);
                refs[k + entries.size()] = collect(e.second, depth + 1);
                ++k;
            }
            children_[index] = std::move(refs);
        }
        return index;
    }

    // Equal strings are stored once, as Apple's writer does.
    uint64_t string_index(const std::string *s, const plobj *o) {
        auto it = strings_.find(*s);
        if (it != strings_.end()) return it->second;
        uint64_t index = objects_.size();
        objects_.push_back({o, s});
        strings_.emplace(*s, index);
        return index;
    }

    void be(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    }

    void marker_with_length(uint8_t high, uint64_t len) {
        if (len < 15) {
            out_ += static_cast<char>(high | len);
        } else {
            out_ += static_cast<char>(high | 0x0F);
            uint_object(len);
        }
    }

    // Integers of 1, 2 and 4 bytes read as unsigned; 8 bytes as signed.
    void uint_object(uint64_t v) {
        if (v < 0x100) {
            out_ += '\x10';
            be(v, 1);
        } else if (v < 0x10000) {
            out_ += '\x11';
            be(v, 2);
        } else if (v < 0x100000000ull) {
            out_ += '\x12';
            be(v, 4);
        } else {
            out_ += '\x13';
            be(v, 8);
        }
    }

    void emit(const Entry &e) {
        offsets_.push_back(out_.size());
        if (e.key) {
            string_object(*e.key);
            return;
        }
        const plobj *o = e.obj;
        uint64_t uid;
        switch (o->kind) {
            case Kind::String:
                string_object(as_string(o)->value);
                break;
            case Kind::Integer: {
                const Integer *i = as_int(o);
                if (i->is_unsigned) {
                    out_ += '\x14';
                    be(0, 8);
                    be(static_cast<uint64_t>(i->value), 8);
                } else if (i->value < 0) {
                    out_ += '\x13';
                    be(static_cast<uint64_t>(i->value), 8);
                } else {
                    uint_object(static_cast<uint64_t>(i->value));
                }
                break;
            }
            case Kind::Real:
                out_ += '\x23';
                be(std::bit_cast<uint64_t>(real_value(o)), 8);
                break;
            case Kind::Date:
                out_ += '\x33';
                be(std::bit_cast<uint64_t>(date_value(o)), 8);
                break;
            case Kind::Boolean:
                out_ += bool_value(o) ? '\x09' : '\x08';
                break;
            case Kind::Data: {
                const auto &d = data_value(o);
                marker_with_length(0x40, d.size());
                out_.append(reinterpret_cast<const char *>(d.data()), d.size());
                break;
            }
            case Kind::Array: {
                const auto &refs = children_[offsets_.size() - 1];
                marker_with_length(0xA0, refs.size());
                for (uint64_t r : refs) be(r, ref_size_);
                break;
            }
            case Kind::Dict: {
                if (uid_value(o, &uid)) {
                    int n = uid < 0x100 ? 1 : uid < 0x10000 ? 2 : uid < 0x100000000ull ? 4 : 8;
                    out_ += static_cast<char>(0x80 | (n - 1));
                    be(uid, n);
                    break;
                }
                const auto &refs = children_[offsets_.size() - 1];
                marker_with_length(0xD0, refs.size() / 2);
                for (uint64_t r : refs) be(r, ref_size_);
                break;
            }
        }
    }

    void string_object(const std::string &s) {
        bool ascii = true;
        for (unsigned char c : s)
            if (c >= 0x80) {
                ascii = false;
                break;
            }
        if (ascii) {
            marker_with_length(0x50, s.size());
            out_ += s;
            return;
        }
        std::u16string units = utf16(s);
        marker_with_length(0x60, units.size());
        for (char16_t u : units) be(u, 2);
    }

    static std::u16string utf16(const std::string &s) {
        std::u16string out;
        auto *p = reinterpret_cast<const unsigned char *>(s.data());
        size_t n = s.size(), i = 0;
        while (i < n) {
            uint32_t cp = next_code_point(p, n, i);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out += static_cast<char16_t>(0xD800 + (cp >> 10));
                out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            } else {
                out += static_cast<char16_t>(cp);
            }
        }
        return out;
    }

    std::vector<Entry> objects_;
    std::unordered_map<uint64_t, std::vector<uint64_t>> children_;
    std::unordered_map<std::string, uint64_t> strings_;
    std::vector<uint64_t> offsets_;
    std::string out_;
    int ref_size_ = 1;
};

}  // namespace

std::string to_binary(const plobj *obj) {
    if (!obj) return {};
    try {
        return BinaryWriter().write(obj);
    } catch (const TooDeep &) {
        return {};
    }
}

}  // namespace bwv::pl
