#include "tools/standins/xar/xar.hpp"

#include "lib/base/hex.hpp"

#include <dirent.h>
#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace bwv::xar {
namespace {

constexpr uint32_t kMagic = 0x78617221;  // "xar!"
constexpr size_t kFixedHeader = 28;
// A checksum named in the header takes at most this field, zero-padded.
constexpr size_t kMaxHashNameField = 36;
constexpr int kMaxDepth = 64;

// What reading a package may cost, set before the work from the bytes it really has, so
// that a few kilobytes cannot stand for gigabytes of text, elements or decompressed data.
// Honest tables of contents shrink a few times under zlib, and every file carries
// checksums that do not compress, so their elements stay well below these.
constexpr uint64_t kTocRatio = 128, kTocAllowance = 1u << 20, kMaxTocXml = 16u << 20;
constexpr uint64_t kNodesPerByte = 4, kNodeAllowance = 16384, kMaxNodes = 250000;
constexpr size_t kMaxName = 255, kMaxPath = 4096, kMaxPathBytes = 16u << 20;
// Decompressed file bytes, as for disk images: 64 times the package plus 16 MiB, 4 GiB at most.
constexpr uint64_t kDataRatio = 64, kDataAllowance = 16u << 20, kMaxData = 4ull << 30;

uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const unsigned char *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint64_t be64(const unsigned char *p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }
void put16(Bytes &b, uint16_t v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xff);
}
void put32(Bytes &b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}
void put64(Bytes &b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}

[[noreturn]] void damaged(const std::string &why) { throw Error(Problem::damaged, why); }

struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string text;
    std::vector<std::unique_ptr<Node>> children;
    Node *parent = nullptr;

    const Node *child(const std::string &n) const {
        for (auto &c : children)
            if (c->name == n) return c.get();
        return nullptr;
    }
    std::string attr(const std::string &n) const {
        for (auto &a : attrs)
            if (a.first == n) return a.second;
        return {};
    }
};

struct ParseState {
    std::unique_ptr<Node> root;
    Node *cur = nullptr;
    int depth = 0;
    uint64_t nodes_left = 0;
    bool too_deep = false;
    XML_Parser parser = nullptr;
};

void XMLCALL on_start(void *ud, const XML_Char *name, const XML_Char **atts) {
    auto *st = static_cast<ParseState *>(ud);
    if (++st->depth > kMaxDepth || st->nodes_left == 0) {
        st->too_deep = true;
        XML_StopParser(st->parser, XML_FALSE);
        return;
    }
    --st->nodes_left;
    auto n = std::make_unique<Node>();
    n->name = name;
    for (int i = 0; atts[i]; i += 2) n->attrs.emplace_back(atts[i], atts[i + 1]);
    n->parent = st->cur;
    Node *raw = n.get();
    if (st->cur)
        st->cur->children.push_back(std::move(n));
    else
        st->root = std::move(n);
    st->cur = raw;
}

void XMLCALL on_end(void *ud, const XML_Char *) {
    auto *st = static_cast<ParseState *>(ud);
    --st->depth;
    if (st->cur) st->cur = st->cur->parent;
}

void XMLCALL on_text(void *ud, const XML_Char *s, int len) {
    auto *st = static_cast<ParseState *>(ud);
    if (st->cur) st->cur->text.append(s, static_cast<size_t>(len));
}

// A TOC has no business declaring entities; refusing them keeps expansion attacks out.
void XMLCALL on_entity_decl(void *ud, const XML_Char *, int, const XML_Char *, int, const XML_Char *, const XML_Char *,
                            const XML_Char *, const XML_Char *) {
    auto *st = static_cast<ParseState *>(ud);
    XML_StopParser(st->parser, XML_FALSE);
}

std::unique_ptr<Node> parse_xml(const std::string &xml, uint64_t max_nodes) {
    ParseState st;
    st.nodes_left = max_nodes;
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> p(XML_ParserCreate(nullptr),
                                                                                    XML_ParserFree);
    if (!p) throw std::bad_alloc();
    st.parser = p.get();
    XML_SetUserData(p.get(), &st);
    XML_SetElementHandler(p.get(), on_start, on_end);
    XML_SetCharacterDataHandler(p.get(), on_text);
    XML_SetEntityDeclHandler(p.get(), on_entity_decl);
    if (XML_Parse(p.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK || st.too_deep ||
        !st.root)
        damaged(st.too_deep ? "the table of contents has too many or too deeply nested elements"
                            : "the table of contents is not well-formed XML");
    return std::move(st.root);
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

uint64_t number(const Node *parent, const char *name) {
    const Node *n = parent ? parent->child(name) : nullptr;
    if (!n) damaged(std::string("missing <") + name + ">");
    std::string t = trim(n->text);
    if (t.empty() || t.size() > 20) damaged(std::string("bad <") + name + ">");
    uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') damaged(std::string("bad <") + name + ">");
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) damaged(std::string("bad <") + name + ">");
        v = v * 10 + d;
    }
    return v;
}

Bytes base64_decode(const std::string &in) {
    std::string s;
    for (char c : in)
        if (!std::isspace(static_cast<unsigned char>(c))) s += c;
    if (s.empty() || s.size() % 4 != 0) damaged("bad certificate encoding");
    Bytes out(s.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(s.data()), static_cast<int>(s.size()));
    if (n < 0) damaged("bad certificate encoding");
    size_t pad = 0;
    if (s.back() == '=') ++pad;
    if (s.size() > 1 && s[s.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string to_hex(const unsigned char *p, size_t n) {
    std::string r(2 * n, '\0');
    bwv::hex_encode(p, n, r.data());
    return r;
}

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Collected {
    std::vector<Entry> &out;
    std::unordered_set<std::string> paths;
    size_t path_bytes = 0;
};

void collect_files(const Node *parent, const std::string &prefix, Collected &col) {
    std::vector<Entry> &out = col.out;
    for (auto &c : parent->children) {
        if (c->name != "file") continue;
        const Node *nm = c->child("name");
        if (!nm) damaged("a file without a name");
        const std::string &name = nm->text;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos || name.size() > kMaxName)
            damaged("a file with an unsafe name");
        // Every path is a copy of its folder's, so long names under wide folders would
        // multiply; and a second entry of one name would let two contents pass for one file.
        if (prefix.size() + 1 + name.size() > kMaxPath) damaged("a file with too long a path");
        Entry e;
        e.path = prefix.empty() ? name : prefix + "/" + name;
        const Node *ty = c->child("type");
        e.type = ty ? trim(ty->text) : "file";
        if (const Node *d = c->child("data")) {
            e.has_data = true;
            e.data.offset = number(d, "offset");
            e.data.length = number(d, "length");
            e.data.size = number(d, "size");
            if (const Node *enc = d->child("encoding")) e.data.encoding = enc->attr("style");
            if (const Node *a = d->child("archived-checksum")) {
                e.data.archived_style = lower(a->attr("style"));
                e.data.archived_hex = lower(trim(a->text));
            }
            if (const Node *x = d->child("extracted-checksum")) {
                e.data.extracted_style = lower(x->attr("style"));
                e.data.extracted_hex = lower(trim(x->text));
            }
            // A stored file that no checksum covers could be swapped without breaking
            // the signature.
            if (e.data.archived_hex.empty() || e.data.extracted_hex.empty())
                damaged("file " + e.path + " carries no checksum");
        }
        col.path_bytes += e.path.size();
        if (col.path_bytes > kMaxPathBytes) damaged("too many files");
        if (!col.paths.insert(e.path).second) damaged("two entries for " + e.path);
        std::string path = e.path;
        out.push_back(std::move(e));
        collect_files(c.get(), path, col);
    }
}

struct DigestCtx {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    explicit DigestCtx(const EVP_MD *md) {
        if (!ctx || !md || !EVP_DigestInit_ex(ctx.get(), md, nullptr)) damaged("unsupported checksum");
    }
    void update(const void *p, size_t n) { EVP_DigestUpdate(ctx.get(), p, n); }
    std::string hex() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        EVP_DigestFinal_ex(ctx.get(), md, &len);
        return to_hex(md, len);
    }
};

bool is_stored(const std::string &enc) { return enc.empty() || enc == "application/octet-stream"; }
bool is_zlib(const std::string &enc) { return enc == "application/x-gzip"; }

// Streams one file's stored bytes through the archived digest and, decoded, through the
// extracted digest (and into sink when given).
void decode_file(const Source &src, const Package &pkg, const Entry &e, DigestCtx *archived, DigestCtx *extracted,
                 std::string *sink, size_t limit) {
    const FileData &d = e.data;
    bool stored = is_stored(d.encoding);
    if (!stored && !is_zlib(d.encoding)) damaged("file " + e.path + " uses the unsupported encoding " + d.encoding);
    z_stream zs{};
    std::unique_ptr<z_stream, void (*)(z_stream *)> guard(nullptr, [](z_stream *z) { inflateEnd(z); });
    if (!stored) {
        if (inflateInit(&zs) != Z_OK) throw std::bad_alloc();
        guard.reset(&zs);
    }
    uint64_t produced = 0;
    auto emit = [&](const unsigned char *p, size_t n) {
        produced += n;
        if (produced > d.size) throw Error(Problem::checksum, "file " + e.path + " is longer than recorded");
        if (extracted) extracted->update(p, n);
        if (sink) {
            if (sink->size() + n > limit) damaged("file " + e.path + " is too large");
            sink->append(reinterpret_cast<const char *>(p), n);
        }
    };
    unsigned char in[65536], out[65536];
    bool stream_end = stored;
    for (uint64_t pos = 0; pos < d.length;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof in, d.length - pos));
        if (!src.read(pkg.heap_start + d.offset + pos, in, n)) damaged("file " + e.path + " is cut short");
        pos += n;
        if (archived) archived->update(in, n);
        if (stored) {
            emit(in, n);
            continue;
        }
        if (stream_end) throw Error(Problem::checksum, "file " + e.path + " has bytes after its data");
        zs.next_in = in;
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            int rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                throw Error(Problem::checksum, "file " + e.path + " does not decompress");
            emit(out, sizeof out - zs.avail_out);
            if (rc == Z_STREAM_END) {
                stream_end = true;
                if (zs.avail_in > 0) throw Error(Problem::checksum, "file " + e.path + " has bytes after its data");
                break;
            }
            if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
        } while (zs.avail_out == 0 || zs.avail_in > 0);
    }
    if (!stream_end || produced != d.size)
        throw Error(Problem::checksum, "file " + e.path + " does not decode to its recorded size");
}

}  // namespace

FileSource::FileSource(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw Error(Problem::unreadable, path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw Error(Problem::unreadable, path + ": not a regular file");
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileSource::read(uint64_t off, void *buf, size_t n) const {
    if (off > size_ || n > size_ - off) return false;
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        ssize_t r = pread(fd_, p, n, static_cast<off_t>(off));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        off += static_cast<uint64_t>(r);
    }
    return true;
}

bool MemorySource::read(uint64_t off, void *buf, size_t n) const {
    if (off > n_ || n > n_ - off) return false;
    if (n) std::memcpy(buf, data_ + off, n);
    return true;
}

const EVP_MD *digest_by_name(const std::string &name) {
    std::string n = lower(name);
    if (n == "sha1") return EVP_sha1();
    if (n == "md5") return EVP_md5();
    if (n == "sha256") return EVP_sha256();
    if (n == "sha512") return EVP_sha512();
    return nullptr;
}

namespace {

// What the fixed header says of the table of contents.
struct TocSizes {
    uint64_t compressed, expanded;
    const EVP_MD *md;
};

// Algorithm 3 names its checksum in the bytes after the fixed fields, zero-padded to the
// header's end; any other algorithm leaves no room there.
std::string read_hash_name(const Source &src, size_t extra) {
    if (extra > kMaxHashNameField) damaged("the xar header is longer than its fields");
    std::string name(extra, '\0');
    if (!src.read(kFixedHeader, name.data(), name.size())) damaged("cut-short xar header");
    size_t end = name.find('\0');
    if (end == 0 || end == std::string::npos || name.find_first_not_of('\0', end) != std::string::npos)
        damaged("the xar header is longer than its fields");
    return lower(name.substr(0, end));
}

TocSizes read_header(const Source &src, Package &pkg) {
    unsigned char h[kFixedHeader];
    if (src.size() < kFixedHeader || !src.read(0, h, kFixedHeader) || be32(h) != kMagic)
        throw Error(Problem::not_flat, "not a flat package (no xar header)");
    pkg.header_size = be16(h + 4);
    uint16_t version = be16(h + 6);
    uint64_t toc_clen = be64(h + 8);
    uint64_t toc_len = be64(h + 16);
    uint32_t alg = be32(h + 24);
    if (pkg.header_size < kFixedHeader || version != 1) damaged("unsupported xar header");
    // Nothing checks header bytes beyond its fields, so a header longer than them would
    // carry unsigned bytes inside a signed package.
    size_t extra = pkg.header_size - kFixedHeader;
    switch (alg) {
        case 1:
            pkg.toc_hash = "sha1";
            break;
        case 2:
            pkg.toc_hash = "md5";
            break;
        case 3: {
            pkg.toc_hash = read_hash_name(src, extra);
            extra = 0;
            break;
        }
        default:
            damaged("the table of contents has no checksum");
    }
    if (extra != 0) damaged("the xar header is longer than its fields");
    const EVP_MD *md = digest_by_name(pkg.toc_hash);
    if (!md) damaged("unsupported checksum " + pkg.toc_hash);
    return {toc_clen, toc_len, md};
}

void read_toc(const Source &src, Package &pkg, const TocSizes &sizes) {
    const uint64_t toc_clen = sizes.compressed, toc_len = sizes.expanded;
    if (toc_clen == 0 || toc_clen > src.size() || toc_len == 0 ||
        toc_len > std::min(kMaxTocXml, kTocRatio * toc_clen + kTocAllowance))
        damaged("implausible table-of-contents size");
    pkg.heap_start = pkg.header_size + toc_clen;
    if (pkg.heap_start > src.size()) damaged("cut-short table of contents");
    pkg.toc_compressed.resize(toc_clen);
    if (!src.read(pkg.header_size, pkg.toc_compressed.data(), toc_clen)) damaged("cut-short table of contents");

    pkg.toc_xml.resize(toc_len);
    uLongf out_len = static_cast<uLongf>(toc_len);
    uLong in_len = static_cast<uLong>(toc_clen);
    if (uncompress2(reinterpret_cast<Bytef *>(pkg.toc_xml.data()), &out_len, pkg.toc_compressed.data(), &in_len) !=
            Z_OK ||
        out_len != toc_len || in_len != toc_clen)
        damaged("the table of contents does not decompress to its recorded size");
}

// The TOC's own checksum and, when signed, its signature and certificates.
void read_toc_references(const Node *toc, Package &pkg, const EVP_MD *md) {
    const Node *ck = toc->child("checksum");
    if (!ck) damaged("no TOC checksum reference");
    if (lower(ck->attr("style")) != pkg.toc_hash) damaged("TOC checksum style differs from the header");
    pkg.checksum_offset = number(ck, "offset");
    pkg.checksum_size = number(ck, "size");
    if (pkg.checksum_size != static_cast<uint64_t>(EVP_MD_get_size(md))) damaged("bad TOC checksum size");

    if (const Node *sig = toc->child("signature")) {
        pkg.has_signature = true;
        pkg.signature_style = sig->attr("style");
        pkg.signature_offset = number(sig, "offset");
        pkg.signature_size = number(sig, "size");
        if (pkg.signature_size == 0 || pkg.signature_size > 65536) damaged("implausible signature size");
        const Node *ki = sig->child("KeyInfo");
        const Node *xd = ki ? ki->child("X509Data") : nullptr;
        if (xd)
            for (auto &c : xd->children)
                if (c->name == "X509Certificate") pkg.certificates.push_back(base64_decode(c->text));
    }
}

// Decoding is bounded by the sizes the TOC records, so their total is the work a
// checksum pass may cost; it is judged here, before any of it is done.
void check_data_budget(const Source &src, const Package &pkg) {
    uint64_t data_budget = std::min(kMaxData, kDataRatio * src.size() + kDataAllowance), data_total = 0;
    for (auto &e : pkg.entries) {
        if (!e.has_data) continue;
        if (e.data.size > data_budget - data_total) damaged("the files decompress to more than such a package may");
        data_total += e.data.size;
    }
}

// Every heap byte must belong to exactly one thing the TOC accounts for: bytes nobody
// checks would be a place to hide data behind a valid signature, and ranges shared by
// several files would make one stored stream cost its decoding many times over.
void check_heap_coverage(const Source &src, const Package &pkg, const Node *toc) {
    uint64_t heap_size = src.size() - pkg.heap_start;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    auto add = [&](uint64_t off, uint64_t len, const std::string &what) {
        if (off > heap_size || len > heap_size - off) damaged(what + " lies outside the package");
        if (len) spans.emplace_back(off, off + len);
    };
    add(pkg.checksum_offset, pkg.checksum_size, "the TOC checksum");
    if (pkg.has_signature) add(pkg.signature_offset, pkg.signature_size, "the signature");
    // Packages signed on macOS also carry a CMS signature over the same checksum; it is not
    // needed to verify them, but its bytes belong to the package. Without the signature
    // this reader verifies, nothing would vouch for them.
    if (const Node *cms = toc->child("x-signature")) {
        if (!pkg.has_signature) damaged("a signature block that nothing verifies");
        uint64_t size = number(cms, "size");
        if (size == 0 || size > 65536) damaged("implausible CMS signature size");
        add(number(cms, "offset"), size, "the CMS signature");
    }
    for (auto &e : pkg.entries)
        if (e.has_data) add(e.data.offset, e.data.length, "file " + e.path);
    std::sort(spans.begin(), spans.end());
    uint64_t covered = 0;
    for (auto &s : spans) {
        if (s.first > covered) damaged("the package holds bytes no checksum covers");
        if (s.first < covered) damaged("two parts of the package share bytes");
        covered = s.second;
    }
    if (covered != heap_size) damaged("the package holds bytes no checksum covers");
}

}  // namespace

Package parse(const Source &src) {
    Package pkg;
    const TocSizes sizes = read_header(src, pkg);
    read_toc(src, pkg, sizes);

    auto root = parse_xml(pkg.toc_xml, std::min(kMaxNodes, kNodesPerByte * sizes.compressed + kNodeAllowance));
    if (root->name != "xar") damaged("no <xar> element");
    const Node *toc = root->child("toc");
    if (!toc) damaged("no <toc> element");
    read_toc_references(toc, pkg, sizes.md);
    Collected col{pkg.entries, {}, 0};
    collect_files(toc, "", col);
    check_data_budget(src, pkg);
    check_heap_coverage(src, pkg, toc);
    return pkg;
}

Bytes read_heap(const Source &src, const Package &pkg, uint64_t off, uint64_t len) {
    uint64_t heap_size = src.size() - pkg.heap_start;
    if (off > heap_size || len > heap_size - off || len > (64u << 20)) damaged("heap reference outside the package");
    Bytes b(len);
    if (!src.read(pkg.heap_start + off, b.data(), b.size())) damaged("cut-short heap");
    return b;
}

bool toc_checksum_matches(const Source &src, const Package &pkg, Bytes *digest) {
    const EVP_MD *md = digest_by_name(pkg.toc_hash);
    if (!md) return false;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!EVP_Digest(pkg.toc_compressed.data(), pkg.toc_compressed.size(), out, &len, md, nullptr)) return false;
    if (digest) digest->assign(out, out + len);
    Bytes stored = read_heap(src, pkg, pkg.checksum_offset, pkg.checksum_size);
    return stored.size() == len && std::memcmp(stored.data(), out, len) == 0;
}

bool file_checksums_match(const Source &src, const Package &pkg, std::string *bad) {
    for (auto &e : pkg.entries) {
        if (!e.has_data) continue;
        try {
            DigestCtx a(digest_by_name(e.data.archived_style));
            DigestCtx x(digest_by_name(e.data.extracted_style));
            decode_file(src, pkg, e, &a, &x, nullptr, 0);
            if (a.hex() != e.data.archived_hex || x.hex() != e.data.extracted_hex) {
                if (bad) *bad = e.path;
                return false;
            }
        } catch (const Error &err) {
            if (err.problem != Problem::checksum && err.problem != Problem::damaged) throw;
            if (bad) *bad = e.path;
            return false;
        }
    }
    return true;
}

std::string extract(const Source &src, const Package &pkg, const Entry &e, size_t limit) {
    std::string out;
    if (!e.has_data) return out;
    decode_file(src, pkg, e, nullptr, nullptr, &out, limit);
    return out;
}

// ---------------------------------------------------------------------------------------
// Writing

namespace {

std::string xml_escape(const std::string &s) {
    std::string r;
    for (char c : s) {
        switch (c) {
            case '&':
                r += "&amp;";
                break;
            case '<':
                r += "&lt;";
                break;
            case '>':
                r += "&gt;";
                break;
            case '"':
                r += "&quot;";
                break;
            default:
                r += c;
        }
    }
    return r;
}

std::string base64(const Bytes &b) {
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), b.data(), static_cast<int>(b.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string digest_hex(const EVP_MD *md, const void *p, size_t n) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(p, n, out, &len, md, nullptr);
    return to_hex(out, len);
}

std::string read_whole(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw std::runtime_error(path + ": " + std::strerror(e));
        }
        if (n == 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return s;
}

struct Writer {
    const BuildOptions &opt;
    const EVP_MD *file_md = EVP_sha1();
    Bytes heap_data;  // file data, placed after checksum and signature
    uint64_t data_base = 0;
    int next_id = 1;

    void add_dir(const std::string &dir, std::string &xml, int indent) {
        DIR *d = opendir(dir.c_str());
        if (!d) throw std::runtime_error(dir + ": " + std::strerror(errno));
        std::vector<std::string> names;
        while (dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        std::string pad(static_cast<size_t>(indent), ' ');
        for (auto &n : names) {
            std::string path = dir + "/" + n;
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            xml += pad + "<file id=\"" + std::to_string(next_id++) + "\">\n";
            if (S_ISREG(st.st_mode)) {
                std::string content = read_whole(path);
                Bytes stored;
                std::string enc = "application/octet-stream";
                if (opt.compress) {
                    uLongf cap = compressBound(static_cast<uLong>(content.size()));
                    stored.resize(cap);
                    if (compress2(stored.data(), &cap, reinterpret_cast<const Bytef *>(content.data()),
                                  static_cast<uLong>(content.size()), 9) != Z_OK)
                        throw std::runtime_error(path + ": compression failed");
                    stored.resize(cap);
                    enc = "application/x-gzip";
                } else {
                    stored.assign(content.begin(), content.end());
                }
                uint64_t off = data_base + heap_data.size();
                heap_data.insert(heap_data.end(), stored.begin(), stored.end());
                xml += pad + " <data>\n";
                xml += pad + "  <length>" + std::to_string(stored.size()) + "</length>\n";
                xml += pad + "  <encoding style=\"" + enc + "\"/>\n";
                xml += pad + "  <offset>" + std::to_string(off) + "</offset>\n";
                xml += pad + "  <size>" + std::to_string(content.size()) + "</size>\n";
                xml += pad + "  <extracted-checksum style=\"sha1\">" +
                       digest_hex(file_md, content.data(), content.size()) + "</extracted-checksum>\n";
                xml += pad + "  <archived-checksum style=\"sha1\">" +
                       digest_hex(file_md, stored.data(), stored.size()) + "</archived-checksum>\n";
                xml += pad + " </data>\n";
                xml += pad + " <mode>" + mode + "</mode>\n";
                xml += pad + " <name>" + xml_escape(n) + "</name>\n";
                xml += pad + " <type>file</type>\n";
            } else if (S_ISDIR(st.st_mode)) {
                xml += pad + " <mode>" + mode + "</mode>\n";
                xml += pad + " <name>" + xml_escape(n) + "</name>\n";
                xml += pad + " <type>directory</type>\n";
                add_dir(path, xml, indent + 1);
            } else {
                throw std::runtime_error(path + ": only regular files and folders can be packed");
            }
            xml += pad + "</file>\n";
        }
    }
};

// The TOC up to its files: its checksum's place and, when signed, the signature's and the
// certificates.
std::string toc_head(const BuildOptions &opt, uint64_t ck_size, uint64_t sig_size) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
    xml += "  <checksum style=\"" + lower(opt.toc_hash) + "\">\n   <offset>0</offset>\n   <size>" +
           std::to_string(ck_size) + "</size>\n  </checksum>\n";
    if (opt.key) {
        xml += "  <signature style=\"RSA\">\n   <offset>" + std::to_string(ck_size) + "</offset>\n   <size>" +
               std::to_string(sig_size) + "</size>\n";
        xml += "   <KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">\n    <X509Data>\n";
        for (auto &c : opt.certificates) xml += "     <X509Certificate>" + base64(c) + "</X509Certificate>\n";
        xml += "    </X509Data>\n   </KeyInfo>\n  </signature>\n";
    }
    return xml;
}

Bytes compress_toc(const std::string &xml) {
    uLongf clen = compressBound(static_cast<uLong>(xml.size()));
    Bytes ctoc(clen);
    if (compress2(ctoc.data(), &clen, reinterpret_cast<const Bytef *>(xml.data()), static_cast<uLong>(xml.size()), 9) !=
        Z_OK)
        throw std::runtime_error("cannot compress the table of contents");
    ctoc.resize(clen);
    return ctoc;
}

// Empty when the options hold no key.
Bytes sign_toc(const BuildOptions &opt, const EVP_MD *toc_md, const unsigned char *digest, unsigned dlen,
               uint64_t sig_size) {
    Bytes sig;
    if (opt.key) {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(opt.key, nullptr),
                                                                        EVP_PKEY_CTX_free);
        size_t slen = sig_size;
        sig.resize(slen);
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), toc_md) <= 0 ||
            EVP_PKEY_sign(ctx.get(), sig.data(), &slen, digest, dlen) <= 0 || slen != sig_size)
            throw std::runtime_error("cannot sign the table of contents (an RSA key is needed)");
    }
    return sig;
}

// The fixed header, then the checksum's name zero-padded to a multiple of four when it is
// neither of the two with a number of their own.
void put_header(Bytes &file, const std::string &toc_hash, uint64_t ctoc_size, uint64_t xml_size) {
    std::string hash_name = lower(toc_hash);
    bool named = hash_name != "sha1" && hash_name != "md5";
    uint16_t header_size = kFixedHeader;
    if (named) header_size = static_cast<uint16_t>(kFixedHeader + ((hash_name.size() + 1 + 3) / 4) * 4);
    put32(file, kMagic);
    put16(file, header_size);
    put16(file, 1);
    put64(file, ctoc_size);
    put64(file, xml_size);
    put32(file, named ? 3 : hash_name == "sha1" ? 1 : 2);
    if (named) {
        file.insert(file.end(), hash_name.begin(), hash_name.end());
        file.resize(header_size, 0);
    }
}

// Through a temporary file beside out, renamed over it, so out is never left half written.
void write_atomically(const std::string &out, const Bytes &file) {
    std::string tmp = out + ".partXXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw std::runtime_error(out + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < file.size()) {
        ssize_t n = ::write(fd, file.data() + done, file.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = errno;
            ::close(fd);
            unlink(tmp.c_str());
            throw std::runtime_error(out + ": " + std::strerror(e));
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, 0644);
    if (::close(fd) != 0 || rename(tmp.c_str(), out.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        throw std::runtime_error(out + ": " + std::strerror(e));
    }
}

}  // namespace

void build(const std::string &folder, const std::string &out, const BuildOptions &opt) {
    const EVP_MD *toc_md = digest_by_name(opt.toc_hash);
    if (!toc_md) throw std::runtime_error("unsupported TOC checksum " + opt.toc_hash);
    uint64_t ck_size = static_cast<uint64_t>(EVP_MD_get_size(toc_md));
    uint64_t sig_size = opt.key ? static_cast<uint64_t>(EVP_PKEY_get_size(opt.key)) : 0;
    if (opt.key && opt.certificates.empty()) throw std::runtime_error("a signed package needs its certificate");

    Writer w{opt, EVP_sha1(), {}, 0, 1};
    w.data_base = ck_size + sig_size;
    std::string xml = toc_head(opt, ck_size, sig_size);
    w.add_dir(folder, xml, 2);
    xml += " </toc>\n</xar>\n";
    Bytes ctoc = compress_toc(xml);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned dlen = 0;
    EVP_Digest(ctoc.data(), ctoc.size(), digest, &dlen, toc_md, nullptr);
    Bytes sig = sign_toc(opt, toc_md, digest, dlen, sig_size);

    Bytes file;
    put_header(file, opt.toc_hash, ctoc.size(), xml.size());
    file.insert(file.end(), ctoc.begin(), ctoc.end());
    file.insert(file.end(), digest, digest + dlen);
    file.insert(file.end(), sig.begin(), sig.end());
    file.insert(file.end(), w.heap_data.begin(), w.heap_data.end());
    write_atomically(out, file);
}

}  // namespace bwv::xar
