// The update library's feed and providers readers on a document as a server (or a
// tampered providers file) may deliver it. Built from the update library's own sources.
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "updater/feed.hpp"
#include "updater/trust.hpp"

namespace {

void check_entry(const bwv::upd::FeedEntry &e) {
    BWV_FUZZ_CHECK(bwv::upd::is_http_url(e.url));
    BWV_FUZZ_CHECK(e.size > 0);
    BWV_FUZZ_CHECK(e.sha256.size() == 64);
    for (char c : e.sha256) BWV_FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    auto v = bwv::upd::parse_version(e.version);
    BWV_FUZZ_CHECK(v.has_value() && bwv::upd::compare_versions(*v, *v) == 0);
    // The image's file name never leaves the download folder.
    std::string name = bwv::upd::image_file_name(e.url);
    BWV_FUZZ_CHECK(!name.empty() && name.front() != '.' && name.find('/') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char *>(data), size);
    // The signed part is always the document's own first bytes, and a signature has one size.
    const bwv::upd::SplitFeed split = bwv::upd::split_feed(doc);
    BWV_FUZZ_CHECK(doc.substr(0, split.body.size()) == split.body &&
                   (split.signature.empty() || split.signature.size() == 64));
    for (bool full : {true, false}) {
        bwv::upd::FeedEntry e;
        if (bwv::upd::parse_feed(doc, "https://updates.example.com/client/feed.plist", full, e) ==
            bwv::upd::FeedError::None)
            check_entry(e);
    }

    static const std::string providers = bwv::fuzz::scratch_dir() + "/providers.plist";
    bwv::fuzz::write_file(providers, data, size);
    bwv::upd::Providers p;
    if (bwv::upd::read_providers(providers, p) == bwv::upd::ProvidersError::None) {
        BWV_FUZZ_CHECK(!p.feed_urls.empty());
        for (const auto &url : p.feed_urls) BWV_FUZZ_CHECK(bwv::upd::is_http_url(url));
        BWV_FUZZ_CHECK(p.connect_timeout_s > 0 && p.connect_timeout_s <= 3600);
        BWV_FUZZ_CHECK(p.stall_timeout_s > 0 && p.stall_timeout_s <= 3600);
    }

    // Versions read from an installed client's bwvinfo file.
    auto installed = bwv::upd::parse_leading_version(doc);
    auto offered = bwv::upd::parse_version(doc);
    if (installed && offered) {
        int a = bwv::upd::compare_versions(*installed, *offered);
        int b = bwv::upd::compare_versions(*offered, *installed);
        BWV_FUZZ_CHECK(a == -b);
    }
    return 0;
}
