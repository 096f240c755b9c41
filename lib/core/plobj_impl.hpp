// Layout of property-list objects, shared by the object model's own source files only.
#pragma once

#include "lib/core/plobj.hpp"

#include <atomic>
#include <map>
#include <string>
#include <vector>

struct plobj {
    plobj(bwv::pl::Kind k, bool m) : kind(k), mut(m) {}
    virtual ~plobj() = default;
    plobj(const plobj &) = delete;
    plobj &operator=(const plobj &) = delete;

    std::atomic<uint32_t> refs{1};
    const bwv::pl::Kind kind;
    bool mut;
};

namespace bwv::pl::detail {

struct String final : plobj {
    String(std::string v, bool m) : plobj(Kind::String, m), value(std::move(v)) {}
    std::string value;
};

struct Integer final : plobj {
    Integer(int64_t v, bool u) : plobj(Kind::Integer, false), value(v), is_unsigned(u) {}
    int64_t value;     // the bits of a uint64_t when is_unsigned
    bool is_unsigned;  // only for values above INT64_MAX
};

struct Real final : plobj {
    explicit Real(double v) : plobj(Kind::Real, false), value(v) {}
    double value;
};

struct Boolean final : plobj {
    explicit Boolean(bool v) : plobj(Kind::Boolean, false), value(v) {}
    bool value;
};

struct Data final : plobj {
    Data(std::vector<uint8_t> v, bool m) : plobj(Kind::Data, m), value(std::move(v)) {}
    std::vector<uint8_t> value;
};

struct Date final : plobj {
    explicit Date(double v) : plobj(Kind::Date, false), value(v) {}
    double value;  // seconds since 2001-01-01T00:00:00Z
};

struct Array final : plobj {
    explicit Array(bool m) : plobj(Kind::Array, m) {}
    ~Array() override;
    std::vector<plobj *> items;  // each holds one reference
};

struct Dict final : plobj {
    explicit Dict(bool m) : plobj(Kind::Dict, m) {}
    ~Dict() override;
    // Byte order of the UTF-8 keys is code-point order, the order writers sort by.
    std::map<std::string, plobj *, std::less<>> entries;  // each value holds one reference
};

inline const String *as_string(const plobj *o) { return static_cast<const String *>(o); }
inline const Integer *as_int(const plobj *o) { return static_cast<const Integer *>(o); }
inline const Array *as_array(const plobj *o) { return static_cast<const Array *>(o); }
inline const Dict *as_dict(const plobj *o) { return static_cast<const Dict *>(o); }
inline Array *as_array(plobj *o) { return static_cast<Array *>(o); }
inline Dict *as_dict(plobj *o) { return static_cast<Dict *>(o); }

// A dictionary whose only entry is "CF$UID" with an integer stands for a keyed-archive
// reference, as the XML form spells it; the binary writer turns it back into a UID.
bool uid_value(const plobj *o, uint64_t *uid);

// Civil calendar conversions that work for any year, including year 0.
double seconds_from_civil(int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s);
struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second;
};
Civil civil_from_seconds(double since_2001);

// Texts shared by the XML writer and the description.
std::string format_real(double v);
std::string format_date_iso(double since_2001);

}  // namespace bwv::pl::detail
