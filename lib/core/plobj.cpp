#include "lib/core/plobj_impl.hpp"

#include <cmath>
#include <cstring>
#include <new>

namespace bwv::pl {

using namespace detail;

detail::Array::~Array() {
    for (plobj *p : items) plobj_release(p);
}

detail::Dict::~Dict() {
    for (auto &e : entries) plobj_release(e.second);
}

plobj *make_string(std::string_view utf8, bool is_mutable) { return new String(std::string(utf8), is_mutable); }

plobj *make_int(int64_t value) { return new Integer(value, false); }

plobj *make_uint(uint64_t value) {
    return new Integer(static_cast<int64_t>(value), value > static_cast<uint64_t>(INT64_MAX));
}

plobj *make_real(double value) { return new Real(value); }
plobj *make_bool(bool value) { return new Boolean(value); }

plobj *make_data(const void *bytes, size_t len, bool is_mutable) {
    auto *p = static_cast<const uint8_t *>(bytes);
    return new Data(len && p ? std::vector<uint8_t>(p, p + len) : std::vector<uint8_t>(), is_mutable);
}

plobj *make_date(double seconds_since_2001) { return new Date(seconds_since_2001); }
plobj *make_array(bool is_mutable) { return new detail::Array(is_mutable); }
plobj *make_dict(bool is_mutable) { return new detail::Dict(is_mutable); }

Kind kind(const plobj *obj) { return obj->kind; }
bool is_mutable(const plobj *obj) { return obj->mut; }

const std::string &string_value(const plobj *obj) { return as_string(obj)->value; }
int64_t int_value(const plobj *obj) { return as_int(obj)->value; }
bool int_is_unsigned(const plobj *obj) { return obj->kind == Kind::Integer && as_int(obj)->is_unsigned; }

double real_value(const plobj *obj) {
    if (obj->kind == Kind::Integer) {
        const Integer *i = as_int(obj);
        return i->is_unsigned ? static_cast<double>(static_cast<uint64_t>(i->value)) : static_cast<double>(i->value);
    }
    return static_cast<const Real *>(obj)->value;
}

bool bool_value(const plobj *obj) { return static_cast<const Boolean *>(obj)->value; }
const std::vector<uint8_t> &data_value(const plobj *obj) { return static_cast<const Data *>(obj)->value; }
double date_value(const plobj *obj) { return static_cast<const Date *>(obj)->value; }

size_t count(const plobj *obj) {
    if (obj->kind == Kind::Array) return as_array(obj)->items.size();
    if (obj->kind == Kind::Dict) return as_dict(obj)->entries.size();
    return 0;
}

plobj *array_at(const plobj *arr, size_t index) {
    if (!arr || arr->kind != Kind::Array) return nullptr;
    const auto &items = as_array(arr)->items;
    return index < items.size() ? items[index] : nullptr;
}

bool array_append(plobj *arr, plobj *value) {
    if (!arr || !value || arr->kind != Kind::Array || !arr->mut) return false;
    // The slot first: a failed growth must not leave a reference nobody will drop.
    as_array(arr)->items.push_back(value);
    plobj_retain(value);
    return true;
}

bool array_remove(plobj *arr, size_t index) {
    if (!arr || arr->kind != Kind::Array || !arr->mut) return false;
    auto &items = as_array(arr)->items;
    if (index >= items.size()) return false;
    plobj *gone = items[index];
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    plobj_release(gone);
    return true;
}

plobj *dict_get(const plobj *dict, std::string_view key) {
    if (!dict || dict->kind != Kind::Dict) return nullptr;
    const auto &m = as_dict(dict)->entries;
    auto it = m.find(key);
    return it == m.end() ? nullptr : it->second;
}

bool dict_set(plobj *dict, std::string_view key, plobj *value) {
    if (!dict || !value || dict->kind != Kind::Dict || !dict->mut) return false;
    auto &m = as_dict(dict)->entries;
    auto it = m.lower_bound(key);
    if (it != m.end() && it->first == key) {
        // Retain first: value may be the very object being replaced.
        plobj *old = std::exchange(it->second, plobj_retain(value));
        plobj_release(old);
    } else {
        // The entry first: a failed insertion must not leave a reference nobody will drop.
        m.emplace_hint(it, std::string(key), value);
        plobj_retain(value);
    }
    return true;
}

bool dict_remove(plobj *dict, std::string_view key) {
    if (!dict || dict->kind != Kind::Dict || !dict->mut) return false;
    auto &m = as_dict(dict)->entries;
    auto it = m.find(key);
    if (it == m.end()) return false;
    plobj *gone = it->second;
    m.erase(it);
    plobj_release(gone);
    return true;
}

std::vector<std::pair<std::string, plobj *>> dict_entries(const plobj *dict) {
    std::vector<std::pair<std::string, plobj *>> out;
    if (!dict || dict->kind != Kind::Dict) return out;
    out.reserve(as_dict(dict)->entries.size());
    for (const auto &e : as_dict(dict)->entries) out.emplace_back(e.first, e.second);
    return out;
}

std::vector<std::string> dict_keys(const plobj *dict) {
    std::vector<std::string> out;
    if (!dict || dict->kind != Kind::Dict) return out;
    out.reserve(as_dict(dict)->entries.size());
    for (const auto &e : as_dict(dict)->entries) out.push_back(e.first);
    return out;
}

plobj *deep_copy(const plobj *obj, bool m) {
    if (!obj) return nullptr;
    switch (obj->kind) {
        case Kind::String:
            return new String(as_string(obj)->value, m);
        case Kind::Integer:
            return new Integer(as_int(obj)->value, as_int(obj)->is_unsigned);
        case Kind::Real:
            return new Real(static_cast<const Real *>(obj)->value);
        case Kind::Boolean:
            return new Boolean(static_cast<const Boolean *>(obj)->value);
        case Kind::Data:
            return new Data(static_cast<const Data *>(obj)->value, m);
        case Kind::Date:
            return new Date(static_cast<const Date *>(obj)->value);
        case Kind::Array: {
            Ref copy(new detail::Array(m));
            auto &dst = as_array(copy.get())->items;
            dst.reserve(as_array(obj)->items.size());
            for (const plobj *item : as_array(obj)->items) dst.push_back(deep_copy(item, m));
            return copy.release();
        }
        case Kind::Dict: {
            Ref copy(new detail::Dict(m));
            auto &dst = as_dict(copy.get())->entries;
            for (const auto &e : as_dict(obj)->entries) {
                Ref value(deep_copy(e.second, m));
                dst.emplace_hint(dst.end(), e.first, value.get());
                value.release();
            }
            return copy.release();
        }
    }
    return nullptr;
}

namespace {

bool is_number(const plobj *o) { return o->kind == Kind::Integer || o->kind == Kind::Real; }

}  // namespace

bool equal(const plobj *a, const plobj *b) {
    if (a == b) return true;
    if (!a || !b) return false;
    if (is_number(a) && is_number(b)) {
        if (a->kind == Kind::Integer && b->kind == Kind::Integer)
            return as_int(a)->value == as_int(b)->value && as_int(a)->is_unsigned == as_int(b)->is_unsigned;
        return real_value(a) == real_value(b);
    }
    if (a->kind != b->kind) return false;
    switch (a->kind) {
        case Kind::String:
            return as_string(a)->value == as_string(b)->value;
        case Kind::Boolean:
            return bool_value(a) == bool_value(b);
        case Kind::Data:
            return data_value(a) == data_value(b);
        case Kind::Date:
            return date_value(a) == date_value(b);
        case Kind::Array: {
            const auto &x = as_array(a)->items, &y = as_array(b)->items;
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!equal(x[i], y[i])) return false;
            return true;
        }
        case Kind::Dict: {
            const auto &x = as_dict(a)->entries, &y = as_dict(b)->entries;
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !equal(i->second, j->second)) return false;
            return true;
        }
        default:
            return false;
    }
}

namespace detail {

bool uid_value(const plobj *o, uint64_t *uid) {
    if (o->kind != Kind::Dict) return false;
    const auto &m = as_dict(o)->entries;
    if (m.size() != 1 || m.begin()->first != "CF$UID" || m.begin()->second->kind != Kind::Integer) return false;
    const Integer *i = as_int(m.begin()->second);
    if (!i->is_unsigned && i->value < 0) return false;
    *uid = static_cast<uint64_t>(i->value);
    return true;
}

// Days from 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
static int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

double seconds_from_civil(int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s) {
    int64_t days = days_from_civil(y, mo, d);
    return static_cast<double>(days * 86400 + h * 3600 + mi * 60 + s) - kAbsoluteTimeEpoch;
}

Civil civil_from_seconds(double since_2001) {
    double whole = std::floor(since_2001 + kAbsoluteTimeEpoch);
    // Beyond any representable calendar: clamp rather than overflow.
    if (!(whole > -1e17 && whole < 1e17)) whole = whole < 0 ? -1e17 : 1e17;
    auto t = static_cast<int64_t>(whole);
    int64_t z = (t >= 0 ? t : t - 86399) / 86400;
    int64_t secs = t - z * 86400;
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<int64_t>(yoe) + era * 400 + (c.month <= 2);
    c.hour = static_cast<unsigned>(secs / 3600);
    c.minute = static_cast<unsigned>(secs / 60 % 60);
    c.second = static_cast<unsigned>(secs % 60);
    return c;
}

}  // namespace detail
}  // namespace bwv::pl

extern "C" {

plobj *plobj_retain(plobj *obj) {
    if (obj) obj->refs.fetch_add(1, std::memory_order_relaxed);
    return obj;
}

void plobj_release(plobj *obj) {
    if (obj && obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete obj;
}

plobj *plobj_string_create(const char *utf8) {
    if (!utf8) return nullptr;
    std::string_view s(utf8);
    if (!bwv::pl::valid_utf8(s)) return nullptr;
    try {
        return bwv::pl::make_string(s);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
