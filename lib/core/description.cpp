// Foundation's old-style description text: "{\n    key = value;\n}", "(\n    item\n)".
#include "lib/core/plobj_impl.hpp"

#include "lib/base/hex.hpp"

#include <algorithm>
#include <cstdio>

namespace bwv::pl {

using namespace detail;

namespace {

constexpr int kMaxDepth = 512;

// Containers that share their contents print them once per reference, and indentation
// grows with depth, so a description can dwarf what it describes. Past this size it is
// not made at all: a description is for reading, and nobody reads this much.
constexpr size_t kMaxDescription = size_t{16} << 20;

bool too_long(const std::string &out) { return out.size() > kMaxDescription; }

bool is_bare(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '$';
}

// Bare when every character is plain; otherwise quoted with C-like escapes and \Uxxxx
// for everything outside printable ASCII, as Foundation prints.
bool append_quoted_if_needed(std::string &out, std::string_view s) {
    if (s.size() > kMaxDescription - std::min(out.size(), kMaxDescription)) return false;
    bool bare = !s.empty();
    for (unsigned char c : s)
        if (!is_bare(c)) {
            bare = false;
            break;
        }
    if (bare) {
        out += s;
        return true;
    }
    out += '"';
    auto *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size(), i = 0;
    char buf[16];
    while (i < n) {
        if (too_long(out)) return false;
        uint32_t cp = next_code_point(p, n, i);
        switch (cp) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            default:
                break;
        }
        if (cp >= 0x20 && cp < 0x7F) {
            out += static_cast<char>(cp);
        } else if (cp < 0x10000) {
            snprintf(buf, sizeof buf, "\\U%04x", cp);
            out += buf;
        } else {
            cp -= 0x10000;
            snprintf(buf, sizeof buf, "\\U%04x\\U%04x", 0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF));
            out += buf;
        }
    }
    out += '"';
    return true;
}

std::string number_text(const plobj *o) {
    if (o->kind == Kind::Integer) {
        const Integer *i = as_int(o);
        return i->is_unsigned ? std::to_string(static_cast<uint64_t>(i->value)) : std::to_string(i->value);
    }
    std::string r = format_real(real_value(o));
    if (r.size() > 2 && r.compare(r.size() - 2, 2, ".0") == 0)
        r.resize(r.size() - 2);  // NSNumber prints whole doubles without a fraction
    return r;
}

std::string date_text(double since_2001) {
    Civil c = civil_from_seconds(since_2001);
    char buf[64];
    snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u +0000", static_cast<long long>(c.year), c.month, c.day,
             c.hour, c.minute, c.second);
    return buf;
}

void indent(std::string &out, int level) { out.append(static_cast<size_t>(level) * 4, ' '); }

bool describe(std::string &out, const plobj *o, int level) {
    if (level > kMaxDepth || too_long(out)) return false;
    switch (o->kind) {
        case Kind::String:
            return append_quoted_if_needed(out, as_string(o)->value);
        case Kind::Integer:
        case Kind::Real:
            return append_quoted_if_needed(out, number_text(o));
        case Kind::Boolean:
            out += bool_value(o) ? '1' : '0';
            return true;
        case Kind::Date:
            return append_quoted_if_needed(out, date_text(date_value(o)));
        case Kind::Data: {
            const auto &d = data_value(o);
            if (d.size() > (kMaxDescription - std::min(out.size(), kMaxDescription)) / 2) return false;
            out += '<';
            for (size_t i = 0; i < d.size(); ++i) {
                if (i && i % 4 == 0) out += ' ';
                char pair[2];
                hex_encode(&d[i], 1, pair);
                out.append(pair, 2);
            }
            out += '>';
            return true;
        }
        case Kind::Array: {
            // A container nested in another starts with its own level's indentation, which
            // gives Foundation's familiar "key =     {" layout.
            indent(out, level);
            out += "(\n";
            const auto &items = as_array(o)->items;
            for (size_t i = 0; i < items.size(); ++i) {
                indent(out, level + 1);
                if (!describe(out, items[i], level + 1)) return false;
                out += i + 1 < items.size() ? ",\n" : "\n";
            }
            indent(out, level);
            out += ')';
            return true;
        }
        case Kind::Dict: {
            indent(out, level);
            out += "{\n";
            for (const auto &e : as_dict(o)->entries) {
                indent(out, level + 1);
                if (!append_quoted_if_needed(out, e.first)) return false;
                out += " = ";
                if (!describe(out, e.second, level + 1)) return false;
                out += ";\n";
            }
            indent(out, level);
            out += '}';
            return true;
        }
    }
    return false;
}

}  // namespace

std::string description(const plobj *obj) {
    std::string out;
    if (obj && !describe(out, obj, 0)) out.clear();
    return out;
}

}  // namespace bwv::pl
