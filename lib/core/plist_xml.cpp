// Apple's XML property-list layout, written straight from our objects.
#include "lib/core/plobj_impl.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace bwv::pl {

using namespace detail;

namespace {

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

constexpr int kMaxDepth = 512;
struct TooDeep {};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void append_escaped(std::string &out, std::string_view s) {
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char *rep;
        switch (s[i]) {
            case '&':
                rep = "&amp;";
                break;
            case '<':
                rep = "&lt;";
                break;
            case '>':
                rep = "&gt;";
                break;
            default:
                continue;
        }
        out.append(s.substr(start, i - start));
        out.append(rep);
        start = i + 1;
    }
    out.append(s.substr(start));
}

void append_int(std::string &out, const Integer *i) {
    char buf[24];
    auto r = i->is_unsigned ? std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(i->value))
                            : std::to_chars(buf, buf + sizeof buf, i->value);
    out.append(buf, r.ptr);
}

}  // namespace

namespace detail {

// The shortest text that reads back as the same double, laid out as Python's repr()
// lays it out ("1.0", "0.5", "1e+16", "1e-05"), which plistlib writes.
std::string format_real(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, r.ptr);
    // sci is "[-]d[.ddd]e[+-]XX"
    bool neg = sci[0] == '-';
    size_t epos = sci.find('e');
    std::string mant = sci.substr(neg ? 1 : 0, epos - (neg ? 1 : 0));
    int exp = std::stoi(sci.substr(epos + 1));
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;
    int decpt = exp + 1;
    std::string out = neg ? "-" : "";
    if (decpt <= -4 || decpt > 16) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        char e[16];
        snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
        out += e;
    } else if (decpt <= 0) {
        out += "0." + std::string(static_cast<size_t>(-decpt), '0') + digits;
    } else if (static_cast<size_t>(decpt) >= digits.size()) {
        out += digits + std::string(static_cast<size_t>(decpt) - digits.size(), '0') + ".0";
    } else {
        out += digits.substr(0, static_cast<size_t>(decpt)) + "." + digits.substr(static_cast<size_t>(decpt));
    }
    return out;
}

std::string format_date_iso(double since_2001) {
    Civil c = civil_from_seconds(since_2001);
    char buf[64];
    snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(c.year), c.month, c.day,
             c.hour, c.minute, c.second);
    return buf;
}

}  // namespace detail

namespace {

class XmlWriter {
public:
    explicit XmlWriter(std::string &out) : out_(out) {}

    void value(const plobj *o, int depth) {
        if (depth > kMaxDepth) throw TooDeep{};  // only a container that holds itself gets this deep
        switch (o->kind) {
            case Kind::String:
                line_open(depth, "<string>");
                append_escaped(out_, as_string(o)->value);
                out_ += "</string>\n";
                break;
            case Kind::Integer:
                line_open(depth, "<integer>");
                append_int(out_, as_int(o));
                out_ += "</integer>\n";
                break;
            case Kind::Real:
                line_open(depth, "<real>");
                out_ += format_real(real_value(o));
                out_ += "</real>\n";
                break;
            case Kind::Boolean:
                line_open(depth, bool_value(o) ? "<true/>\n" : "<false/>\n");
                break;
            case Kind::Date:
                line_open(depth, "<date>");
                out_ += format_date_iso(date_value(o));
                out_ += "</date>\n";
                break;
            case Kind::Data:
                data(data_value(o), depth);
                break;
            case Kind::Array: {
                const auto &items = as_array(o)->items;
                if (items.empty()) {
                    line_open(depth, "<array/>\n");
                    break;
                }
                line_open(depth, "<array>\n");
                for (const plobj *item : items) value(item, depth + 1);
                line_open(depth, "</array>\n");
                break;
            }
            case Kind::Dict: {
                const auto &entries = as_dict(o)->entries;
                if (entries.empty()) {
                    line_open(depth, "<dict/>\n");
                    break;
                }
                line_open(depth, "<dict>\n");
                for (const auto &e : entries) {
                    line_open(depth + 1, "<key>");
                    append_escaped(out_, e.first);
                    out_ += "</key>\n";
                    value(e.second, depth + 1);
                }
                line_open(depth, "</dict>\n");
                break;
            }
        }
    }

private:
    void line_open(int depth, std::string_view text) {
        out_.append(static_cast<size_t>(depth), '\t');
        out_ += text;
    }

    // Base64 lines shrink with depth so the text stays within 76 columns (tabs as 8).
    void data(const std::vector<uint8_t> &bytes, int depth) {
        line_open(depth, "<data>\n");
        int width = 76 - 8 * depth;
        if (width < 16) width = 16;
        size_t chunk = static_cast<size_t>(width / 4) * 3;
        for (size_t i = 0; i < bytes.size(); i += chunk) {
            size_t n = std::min(chunk, bytes.size() - i);
            out_.append(static_cast<size_t>(depth), '\t');
            encode_base64(bytes.data() + i, n);
            out_ += '\n';
        }
        line_open(depth, "</data>\n");
    }

    void encode_base64(const uint8_t *p, size_t n) {
        size_t i = 0;
        for (; i + 3 <= n; i += 3) {
            uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
            char q[4] = {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63], kBase64[v & 63]};
            out_.append(q, 4);
        }
        if (i < n) {
            uint32_t v = uint32_t(p[i]) << 16;
            if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
            out_ += kBase64[v >> 18];
            out_ += kBase64[(v >> 12) & 63];
            out_ += i + 1 < n ? kBase64[(v >> 6) & 63] : '=';
            out_ += '=';
        }
    }

    std::string &out_;
};

// A rough size so the output grows once or twice, not at every doubling from empty.
size_t estimate(const plobj *o, int depth) {
    if (depth > kMaxDepth) throw TooDeep{};
    switch (o->kind) {
        case Kind::String:
            return as_string(o)->value.size() + 24;
        case Kind::Data:
            return data_value(o).size() * 4 / 3 + 40;
        case Kind::Array: {
            size_t n = 24;
            for (const plobj *i : as_array(o)->items) n += estimate(i, depth + 1);
            return n;
        }
        case Kind::Dict: {
            size_t n = 24;
            for (const auto &e : as_dict(o)->entries) n += e.first.size() + 16 + estimate(e.second, depth + 1);
            return n;
        }
        default:
            return 32;
    }
}

}  // namespace

std::string to_xml(const plobj *obj) {
    std::string out;
    if (!obj) return out;
    try {
        out.reserve(kHeader.size() + estimate(obj, 0) + 16);
        out += kHeader;
        XmlWriter(out).value(obj, 0);
        out += "</plist>\n";
    } catch (const TooDeep &) {
        out.clear();
    }
    return out;
}

}  // namespace bwv::pl
