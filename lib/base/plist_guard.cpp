#include "lib/base/plist_guard.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

namespace bwv::pl {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Tokenises XML as libplist's reader does and tracks the containers it would open, so
// that whatever it reaches (comments, CDATA, processing instructions, a DOCTYPE, tags with
// attributes) this count reaches too. Where libplist's own releases differ (whether quoted
// text hides markup inside a tag, an instruction or a DOCTYPE), both readings must agree
// or the bytes are refused; so is everything the reader would stop at, since a refusal
// costs an honest file nothing it could have had.
class XmlDepth {
public:
    XmlDepth(std::string_view s, int limit) : s_(s), limit_(limit) {}

    bool ok() {
        for (;;) {
            skip_blanks();
            if (i_ >= s_.size()) return open_.empty();  // cut off inside a container: the reader refuses it
            if (s_[i_] != '<' || i_ + 1 >= s_.size()) return false;
            ++i_;
            char c = s_[i_];
            bool done = false;
            if (!(c == '?' ? skip_instruction() : c == '!' ? skip_declaration() : element(done))) return false;
            if (done) return true;
        }
    }

private:
    static constexpr size_t npos = std::string_view::npos;

    void skip_blanks() {
        while (i_ < s_.size() && is_blank(s_[i_])) ++i_;
    }

    // First position at or after from where stop() holds, or npos. With quotes, text
    // between double quotes is stepped over and an unmatched quote gives npos; both ways
    // must give one answer.
    template <typename Stop>
    size_t scan(size_t from, Stop stop) const {
        size_t plain = npos, quoted = npos;
        for (size_t k = from; k < s_.size(); ++k)
            if (stop(k)) {
                plain = k;
                break;
            }
        for (size_t k = from; k < s_.size(); ++k) {
            if (stop(k)) {
                quoted = k;
                break;
            }
            if (s_[k] == '"') {
                k = s_.find('"', k + 1);
                if (k == npos) break;
            }
        }
        return plain == quoted ? plain : npos;
    }
    size_t find(size_t from, std::string_view what, bool quotes = false) const {
        if (!quotes) return s_.find(what, from);
        return scan(from, [&](size_t k) { return s_.substr(k, what.size()) == what; });
    }

    bool skip_instruction() {
        size_t e = find(i_, "?>", true);
        i_ = e + 2;
        return e != npos;
    }

    bool skip_declaration() {
        std::string_view rest = s_.substr(i_);
        if (rest.starts_with("!--")) {
            size_t e = find(i_ + 3, "-->");
            i_ = e + 3;
            return e != npos;
        }
        if (!rest.starts_with("!DOCTYPE")) return false;
        i_ += 8;
        // Blanks between the parts only restart the reader's search for '[' or '>'.
        size_t e = scan(i_, [&](size_t k) { return s_[k] == '[' || s_[k] == '>'; });
        if (e != npos && s_[e] == '[')
            e = find(e, "]>", true), i_ = e + 2;
        else
            i_ = e + 1;
        return e != npos;
    }

    // Text of a leaf element up to its end tag: comments and CDATA may sit in it, nothing
    // else that starts with '<'.
    bool leaf_text(std::string_view name) {
        for (;;) {
            size_t lt = s_.find('<', i_);
            if (lt == npos || lt + 1 >= s_.size()) return false;
            std::string_view rest = s_.substr(lt + 1);
            size_t e = npos;
            if (rest.starts_with("!--"))
                e = find(lt + 4, "-->"), i_ = e + 3;
            else if (rest.starts_with("![CDATA["))
                e = find(lt + 9, "]]>"), i_ = e + 3;
            else if (rest.starts_with("/") && rest.substr(1).starts_with(name)) {
                i_ = lt + 2 + name.size();
                skip_blanks();
                return i_ < s_.size() && s_[i_++] == '>';
            } else
                return false;
            if (e == npos) return false;
        }
    }

    bool element(bool &done) {
        size_t name_end = s_.find_first_of(" \r\n\t<>", i_);
        if (name_end == npos) return false;
        size_t gt =
            s_[name_end] == '>' ? name_end : scan(name_end, [&](size_t k) { return s_[k] == '<' || s_[k] == '>'; });
        if (gt == npos || s_[gt] != '>') return false;
        std::string_view name = s_.substr(i_, name_end - i_);
        bool empty = s_[gt - 1] == '/';
        if (empty && gt - i_ - 1 < name.size()) name = name.substr(0, gt - i_ - 1);
        i_ = gt + 1;
        static constexpr std::string_view leaves[] = {"key",  "string", "integer", "real",
                                                      "true", "false",  "date",    "data"};
        char kind = name == "plist" ? 'p' : name == "dict" ? 'd' : name == "array" ? 'a' : 0;
        if (name.starts_with("/")) {
            name.remove_prefix(1);
            char want = name == "plist" ? 'p' : name == "dict" ? 'd' : name == "array" ? 'a' : 0;
            if (open_.empty() || open_.back() != want) return false;
            open_.pop_back();
            if (want != 'p' && --depth_ == 0 && rooted_) done = true;  // the root closed: the reader stops here
            return true;
        }
        if (kind == 'p') {
            if (empty) return false;
            if (root_seen_ && open_.empty())
                done = true;  // a second document is never read
            else
                open_.push_back('p');
            return true;
        }
        bool first = !root_seen_;
        root_seen_ = true;
        if (kind == 0) {
            if (std::find(std::begin(leaves), std::end(leaves), name) == std::end(leaves)) return false;
            done = first;  // a leaf root is the whole document
            return empty || leaf_text(name);
        }
        if (empty) return true;
        if (first) rooted_ = true;
        open_.push_back(kind);
        return ++depth_ <= limit_;
    }

    std::string_view s_;
    size_t i_ = 0;
    int limit_;
    int depth_ = 0;
    bool root_seen_ = false, rooted_ = false;
    std::vector<char> open_;  // plist, dict and array elements not yet closed
};

uint64_t read_be(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// The fields of a bplist00's 32-byte trailer that the walk needs.
struct BinaryTrailer {
    size_t off_size, ref_size;
    uint64_t count, top, table;
};

// False when the trailer's widths, counts or offset table do not fit inside the file.
bool read_binary_trailer(const uint8_t *p, size_t len, BinaryTrailer &tr) {
    if (len < 8 + 32) return false;
    const uint8_t *t = p + len - 32;
    size_t off_size = t[6], ref_size = t[7];
    uint64_t count = read_be(t + 8, 8), top = read_be(t + 16, 8), table = read_be(t + 24, 8);
    if (off_size < 1 || off_size > 8 || ref_size < 1 || ref_size > 8 || count == 0 || top >= count || table < 8 ||
        table > len - 32 || count > (len - 32 - table) / off_size)
        return false;
    tr = {off_size, ref_size, count, top, table};
    return true;
}

// Walks the object graph of a bplist00 without building it: nesting depth, cycles, and
// what the tree would cost once every reference is a copy. Every object is entered once;
// what each would cost as a tree is kept per object and summed as its containers close.
class BinaryGraph {
public:
    BinaryGraph(const uint8_t *p, const BinaryTrailer &tr, uint64_t max_nodes, uint64_t max_bytes)
        : p_(p),
          tr_(tr),
          max_nodes_(max_nodes),
          max_bytes_(max_bytes),
          nul_seen_(tr.count, -1),
          state_(tr.count, kNew),
          depth_(tr.count, 0),
          nodes_(tr.count, 0),
          bytes_(tr.count, 0) {}

    bool sane() {
        std::vector<Frame> stack;
        std::vector<uint64_t> kids;
        const uint64_t top = tr_.top;
        if (!children(top, kids, bytes_[top])) return false;
        stack.push_back({top, kids, 0});
        state_[top] = kOpen;
        while (!stack.empty()) {
            Frame &f = stack.back();
            if (f.next < f.kids.size()) {
                if (!enter(f.kids[f.next++], stack, kids)) return false;
                continue;
            }
            if (!settle(f)) return false;
            stack.pop_back();
        }
        return true;
    }

private:
    enum : uint8_t { kNew, kOpen, kDone };
    struct Frame {
        uint64_t obj;
        std::vector<uint64_t> kids;
        size_t next;
    };

    uint64_t offset_of(uint64_t i) const { return read_be(p_ + tr_.table + i * tr_.off_size, tr_.off_size); }

    // The element count of the object at o and where its content starts; false when the
    // count runs outside the file.
    bool count_at(uint64_t o, uint64_t &n, uint64_t &pos) const {
        n = p_[o] & 0x0F;
        pos = o + 1;
        if (n == 0x0F) {
            if (pos >= tr_.table || (p_[pos] >> 4) != 0x1) return false;
            size_t w = size_t{1} << (p_[pos] & 0x0F);
            if (w > 8 || pos + 1 + w > tr_.table) return false;
            n = read_be(p_ + pos + 1, w);
            pos += 1 + w;
        }
        return true;
    }

    // libplist aborts the process when it hands out a dictionary key holding a zero
    // character, so such keys are refused here. Each key is scanned once however many
    // dictionaries use it: a long shared key would otherwise cost its length per use.
    bool scan_key(uint64_t i) const {
        uint64_t o = offset_of(i);
        if (o < 8 || o >= tr_.table) return false;
        uint8_t type = p_[o] >> 4;
        uint64_t n = 0, pos = 0;
        if ((type != 0x5 && type != 0x6) || !count_at(o, n, pos) || n > tr_.table - pos) return false;
        if (type == 0x5) return memchr(p_ + pos, 0, n) != nullptr;
        for (uint64_t k = 0; k < n && pos + 2 * k + 1 < tr_.table; ++k)
            if (p_[pos + 2 * k] == 0 && p_[pos + 2 * k + 1] == 0) return true;
        return false;
    }

    bool key_holds_nul(uint64_t i) {
        if (nul_seen_[i] < 0) nul_seen_[i] = scan_key(i) ? 1 : 0;
        return nul_seen_[i] == 1;
    }

    // Children of object i and the bytes of text or data each copy of it holds, or false
    // when its encoding runs outside the file.
    bool children(uint64_t i, std::vector<uint64_t> &out, uint64_t &bytes) {
        out.clear();
        bytes = 0;
        uint64_t o = offset_of(i);
        if (o < 8 || o >= tr_.table) return false;
        uint8_t type = p_[o] >> 4;
        if (type != 0x4 && type != 0x5 && type != 0x6 && type != 0xA && type != 0xC && type != 0xD) return true;
        uint64_t n = 0, pos = 0;
        if (!count_at(o, n, pos) || n > tr_.table) return false;
        if (type == 0x4 || type == 0x5 || type == 0x6) {
            // UTF-16 text grows to at most three bytes of UTF-8 per unit.
            bytes = type == 0x6 ? 3 * n : n;
            return n <= (tr_.table - pos) / (type == 0x6 ? 2 : 1);
        }
        uint64_t refs = type == 0xD ? n * 2 : n;
        if (refs > (tr_.table - pos) / tr_.ref_size) return false;
        for (uint64_t k = 0; k < refs; ++k) {
            uint64_t r = read_be(p_ + pos + k * tr_.ref_size, tr_.ref_size);
            if (r >= tr_.count || (type == 0xD && k < n && key_holds_nul(r))) return false;
            out.push_back(r);
        }
        return true;
    }

    // Child c of the container on top of the stack: opened below it when new, skipped
    // when already closed (its totals are known), refused when still open.
    bool enter(uint64_t c, std::vector<Frame> &stack, std::vector<uint64_t> &kids) {
        if (state_[c] == kOpen) return false;  // a container that holds itself
        if (state_[c] == kNew) {
            if (stack.size() > static_cast<size_t>(kMaxPlistDepth) || !children(c, kids, bytes_[c])) return false;
            state_[c] = kOpen;
            stack.push_back({c, kids, 0});
        }
        return true;
    }

    // Sums a container whose children are all closed; false past the depth or the budgets.
    bool settle(const Frame &f) {
        uint16_t d = 0;
        uint64_t total_nodes = 1, total_bytes = bytes_[f.obj];
        for (uint64_t c : f.kids) {
            d = std::max<uint16_t>(d, static_cast<uint16_t>(depth_[c] + 1));
            total_nodes += nodes_[c];
            total_bytes += bytes_[c];
            if (total_nodes > max_nodes_ || total_bytes > max_bytes_) return false;
        }
        if (d > kMaxPlistDepth || total_bytes > max_bytes_) return false;
        depth_[f.obj] = d;
        nodes_[f.obj] = total_nodes;
        bytes_[f.obj] = total_bytes;
        state_[f.obj] = kDone;
        return true;
    }

    const uint8_t *p_;
    const BinaryTrailer tr_;
    const uint64_t max_nodes_, max_bytes_;
    std::vector<int8_t> nul_seen_;
    std::vector<uint8_t> state_;
    std::vector<uint16_t> depth_;
    std::vector<uint64_t> nodes_, bytes_;
};

// The allowance grows with the input, so no file makes the reader spend more than a fixed
// multiple of its size. A list whose containers are not shared has at most one node per
// reference, and a reference takes at least a byte, so such a list always fits; shared
// containers get the fixed margin. A shared string costs its length at every reference.
bool binary_graph_is_sane(const uint8_t *p, size_t len) {
    BinaryTrailer tr{};
    if (!read_binary_trailer(p, len, tr)) return false;
    const uint64_t max_nodes = uint64_t{len} + (uint64_t{1} << 16);
    // What sharing adds on top of the list's own text is capped, however large the file.
    const uint64_t max_bytes = uint64_t{len} + std::min(15 * uint64_t{len} + (uint64_t{1} << 20), uint64_t{64} << 20);
    return BinaryGraph(p, tr, max_nodes, max_bytes).sane();
}

}  // namespace

bool xml_depth_within(const void *bytes, size_t len, int max_depth) {
    return bytes && XmlDepth(std::string_view(static_cast<const char *>(bytes), len), max_depth).ok();
}

bool safe_for_libplist(const void *bytes, size_t len) {
    if (!bytes) return false;
    const auto *p = static_cast<const uint8_t *>(bytes);
    if (len >= 8 && memcmp(p, "bplist00", 8) == 0) return binary_graph_is_sane(p, len);
    return xml_depth_within(bytes, len, kMaxPlistDepth);
}

}  // namespace bwv::pl
