// The pkgutil stand-in's flat-package reader on an in-memory package: the signature check
// as pkgutil runs it, then the listing and extraction the installer stand-in performs, and
// the product and versions the installer and bwv-feed read.
// Random bytes rarely survive the zlib compression and checksum of the table of contents,
// so input that does not start as a package does is taken as TOC text (up to the first
// zero byte) and the heap after the TOC checksum (the rest), and assembled into a package
// whose header and TOC checksum are right.
#include <openssl/evp.h>
#include <zlib.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "tools/standins/xar/check.hpp"
#include "tools/standins/xar/facts.hpp"
#include "tools/standins/xar/xar.hpp"

namespace {

void put_be(std::vector<unsigned char> &b, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// The package around toc_len bytes of TOC text and the heap rest.
std::vector<unsigned char> assemble(const uint8_t *toc, size_t toc_len, const uint8_t *heap_rest,
                                    size_t heap_rest_len) {
    std::vector<unsigned char> toc_z(compressBound(static_cast<uLong>(toc_len)));
    uLongf z_len = static_cast<uLongf>(toc_z.size());
    if (compress(toc_z.data(), &z_len, toc, static_cast<uLong>(toc_len)) != Z_OK) std::abort();
    toc_z.resize(z_len);
    std::vector<unsigned char> pkg = {'x', 'a', 'r', '!'};
    put_be(pkg, 28, 2);
    put_be(pkg, 1, 2);
    put_be(pkg, toc_z.size(), 8);
    put_be(pkg, toc_len, 8);
    put_be(pkg, 1, 4);  // SHA-1
    pkg.insert(pkg.end(), toc_z.begin(), toc_z.end());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digest_len = 0;
    if (!EVP_Digest(toc_z.data(), toc_z.size(), digest, &digest_len, EVP_sha1(), nullptr)) std::abort();
    pkg.insert(pkg.end(), digest, digest + digest_len);
    pkg.insert(pkg.end(), heap_rest, heap_rest + heap_rest_len);
    return pkg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::vector<unsigned char> assembled;
    const bool raw = size >= 4 && std::memcmp(data, "xar!", 4) == 0;
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t toc_len = nul ? static_cast<size_t>(nul - data) : size;
    if (!raw) {
        if (toc_len == 0) return 0;
        const uint8_t *heap_rest = nul ? nul + 1 : data + size;
        assembled = assemble(data, toc_len, heap_rest, static_cast<size_t>(data + size - heap_rest));
    }
    // No trust anchors: a valid signature ends as untrusted, which still walks the chain.
    static const std::string trust = bwv::fuzz::scratch_dir();
    bwv::xar::MemorySource src(raw ? data : assembled.data(), raw ? size : assembled.size());

    bwv::xar::CheckResult r = bwv::xar::check_package(src, trust);
    BWV_FUZZ_CHECK(r.status != bwv::xar::Status::trusted && r.status != bwv::xar::Status::expired);
    // Names in the report are the package's text: none may start a line of its own.
    for (char c : bwv::xar::format_report("fuzz", r))
        BWV_FUZZ_CHECK(c == '\n' || !std::iscntrl(static_cast<unsigned char>(c)));

    try {
        bwv::xar::Package pkg = bwv::xar::parse(src);
        // A package that parses lies inside the input, heap and all.
        BWV_FUZZ_CHECK(pkg.heap_start <= src.size());
        BWV_FUZZ_CHECK(raw || pkg.toc_xml.size() == toc_len);
        for (const auto &e : pkg.entries) {
            BWV_FUZZ_CHECK(!e.path.empty() && e.path.front() != '/');
            if (!e.has_data) continue;
            try {
                std::string content = bwv::xar::extract(src, pkg, e, 1 << 16);
                BWV_FUZZ_CHECK(content.size() <= (1u << 16) && content.size() == e.data.size);
            } catch (const bwv::xar::Error &) {
            }
        }
    } catch (const bwv::xar::Error &) {
    }
    if (auto facts = bwv::pkg::read_facts(src)) BWV_FUZZ_CHECK(facts->identifiers.size() <= 256);
    return 0;
}
