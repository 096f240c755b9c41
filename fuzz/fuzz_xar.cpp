// The pkgutil stand-in's flat-package reader on an in-memory package: the signature check
// as pkgutil runs it, then the listing and extraction the installer stand-in performs, and
// the product and versions the installer and bwv-feed read.
// Random bytes rarely survive the zlib compression and checksum of the table of contents,
// so input that does not start as a package does is taken as TOC text (up to the first
// zero byte) and the heap after the TOC checksum (the rest), and assembled into a package
// whose header and TOC checksum are right.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/xar_package.hpp"
#include "tools/standins/xar/check.hpp"
#include "tools/standins/xar/facts.hpp"
#include "tools/standins/xar/xar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    const bool raw = size >= 4 && std::memcmp(data, "xar!", 4) == 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t toc_len = std::min(input.find('\0'), size);
    if (!raw && toc_len == 0) return 0;
    const std::string assembled =
        raw ? "" : bwv::fuzz::xar_package(input.substr(0, toc_len), input.substr(std::min(toc_len + 1, size)));
    // No trust anchors: a valid signature ends as untrusted, which still walks the chain.
    static const std::string trust = bwv::fuzz::scratch_dir();
    bwv::xar::MemorySource src(raw ? static_cast<const void *>(data) : assembled.data(), raw ? size : assembled.size());

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
