// Property-list object model: the stand-in for the platform's reference-counted
// dictionaries, arrays, strings, numbers, booleans, data and dates.
//
// Objects start with one reference owned by whoever made them (the make_* functions
// return +1). Containers retain what is stored in them. Reference counts are atomic, so
// objects may be retained and released from any thread; the contents of a mutable
// container are used by one thread at a time.
#pragma once

#include <bwvutil/plobj.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/base/utf8.hpp"

namespace bwv::pl {

enum class Kind { String, Integer, Real, Boolean, Data, Date, Array, Dict };

// Seconds between 1970-01-01 and 2001-01-01, the epoch of property-list dates.
inline constexpr double kAbsoluteTimeEpoch = 978307200.0;

// --- Creation (+1 reference). Containers are mutable unless made otherwise. ---
plobj *make_string(std::string_view utf8, bool is_mutable = false);  // not validated
plobj *make_int(int64_t value);
plobj *make_uint(uint64_t value);  // integers above INT64_MAX
plobj *make_real(double value);
plobj *make_bool(bool value);
plobj *make_data(const void *bytes, size_t len, bool is_mutable = false);
plobj *make_date(double seconds_since_2001);
plobj *make_array(bool is_mutable = true);
plobj *make_dict(bool is_mutable = true);

// --- Inspection (obj must not be null) ---
Kind kind(const plobj *obj);
bool is_mutable(const plobj *obj);
const std::string &string_value(const plobj *obj);         // String
int64_t int_value(const plobj *obj);                       // Integer (wraps for unsigned ones)
bool int_is_unsigned(const plobj *obj);                    // Integer above INT64_MAX
double real_value(const plobj *obj);                       // Real; Integer converted
bool bool_value(const plobj *obj);                         // Boolean
const std::vector<uint8_t> &data_value(const plobj *obj);  // Data
double date_value(const plobj *obj);                       // Date, seconds since 2001
size_t count(const plobj *obj);                            // Array or Dict entries; 0 otherwise

// --- Arrays ---
plobj *array_at(const plobj *arr, size_t index);  // borrowed; null when out of range
bool array_append(plobj *arr, plobj *value);      // retains value; false if immutable/not array
bool array_remove(plobj *arr, size_t index);

// --- Dictionaries (keys are strings; order of iteration is the key's byte order) ---
plobj *dict_get(const plobj *dict, std::string_view key);        // borrowed or null
bool dict_set(plobj *dict, std::string_view key, plobj *value);  // retains value
bool dict_remove(plobj *dict, std::string_view key);
// Visits entries in order; the key's property-list string object is built on demand.
std::vector<std::pair<std::string, plobj *>> dict_entries(const plobj *dict);  // borrowed values
std::vector<std::string> dict_keys(const plobj *dict);

// --- Copies ---
// A deep copy; containers (and strings/data) mutable or not as asked. +1.
plobj *deep_copy(const plobj *obj, bool is_mutable);

// --- Equality of values (deep) ---
bool equal(const plobj *a, const plobj *b);

// --- Serialisation ---
// Parses an XML or binary property list. Containers and leaves are mutable when asked.
// Null on failure. +1.
plobj *parse(const void *bytes, size_t len, bool is_mutable);
// Apple's XML property-list format: XML header, DOCTYPE, <plist version="1.0">, tab
// indentation, dictionary keys sorted, data as base64 lines.
std::string to_xml(const plobj *obj);
// Binary property list (bplist00).
// A dictionary whose only entry is "CF$UID" with an integer is written as a UID (the
// keyed-archive reference); parse turns UIDs back into such dictionaries, the form
// XML archives spell them in. Both writers answer "" for a container holding itself.
std::string to_binary(const plobj *obj);

// --- Text ---
using text::valid_utf8;
// The code point starting at p[i], with i moved past it. A byte that does not start a
// complete sequence gives U+FFFD and moves i by one: the writers only meet text that
// valid_utf8 let in, so this never has to report an error.
inline uint32_t next_code_point(const unsigned char *p, size_t n, size_t &i) {
    uint32_t cp = p[i];
    size_t len = cp < 0x80 ? 1 : cp >= 0xF0 ? 4 : cp >= 0xE0 ? 3 : cp >= 0xC0 ? 2 : 0;
    if (len == 0 || len > n - i) {
        ++i;
        return 0xFFFD;
    }
    if (len > 1) {
        cp &= 0xFFu >> (len + 1);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    i += len;
    return cp;
}

// Smart handle owning one reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(plobj *adopt) : p_(adopt) {}
    Ref(const Ref &o) : p_(plobj_retain(o.p_)) {}
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { plobj_release(p_); }
    static Ref retain(plobj *p) { return Ref(plobj_retain(p)); }
    plobj *get() const { return p_; }
    plobj *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    plobj *operator->() const { return p_; }

private:
    plobj *p_ = nullptr;
};

}  // namespace bwv::pl

namespace bwv::pl {
// Foundation's old-style description text of an object ("{\n    key = value;\n}" for a
// dictionary), quoting strings as Foundation quotes them. Used by dic_show and the
// message description. Empty for a container that holds itself, nests too deep, or whose
// text would pass 16 MiB (shared contents print once per reference).
std::string description(const plobj *obj);
}  // namespace bwv::pl
