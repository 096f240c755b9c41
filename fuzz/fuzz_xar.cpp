// The pkgutil stand-in's flat-package reader on an in-memory package: the signature check
// as pkgutil runs it, then the listing and extraction the installer stand-in performs, and
// the product and versions the installer and bwv-feed read.
#include <cctype>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "tools/xar/check.hpp"
#include "tools/xar/facts.hpp"
#include "tools/xar/xar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // No trust anchors: a valid signature ends as untrusted, which still walks the chain.
    static const std::string trust = bwv::fuzz::scratch_dir();
    bwv::xar::MemorySource src(data, size);

    bwv::xar::CheckResult r = bwv::xar::check_package(src, trust);
    BWV_FUZZ_CHECK(r.status != bwv::xar::Status::trusted && r.status != bwv::xar::Status::expired);
    // Names in the report are the package's text: none may start a line of its own.
    for (char c : bwv::xar::format_report("fuzz", r))
        BWV_FUZZ_CHECK(c == '\n' || !std::iscntrl(static_cast<unsigned char>(c)));

    try {
        bwv::xar::Package pkg = bwv::xar::parse(src);
        // A package that parses lies inside the input, heap and all.
        BWV_FUZZ_CHECK(pkg.heap_start <= size);
        for (const auto &e : pkg.entries) {
            if (!e.has_data) continue;
            try {
                std::string content = bwv::xar::extract(src, pkg, e, 1 << 16);
                BWV_FUZZ_CHECK(content.size() <= (1u << 16));
            } catch (const bwv::xar::Error &) {
            }
        }
    } catch (const bwv::xar::Error &) {
    }
    if (auto facts = bwv::pkg::read_facts(src)) BWV_FUZZ_CHECK(facts->identifiers.size() <= 256);
    return 0;
}
