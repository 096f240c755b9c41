#include "updater/feed.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>

#include "lib/core/paths.hpp"
#include "lib/base/plist_guard.hpp"

namespace bwv::upd {
namespace {

constexpr size_t kMaxSmallFile = 1 << 20;
constexpr size_t kMaxVersionLength = 95;  // fits upd_result.version with its NUL
constexpr uint64_t kMaxImageSize = uint64_t{1} << 48;
constexpr std::string_view kFallbackImageName = "update.dmg";
constexpr uint64_t kMaxRollout = 100;
constexpr unsigned kBuckets = 100;
constexpr size_t kMaxIdentity = 256;
// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr int64_t kAppleEpoch = 978307200;

struct PlistFree {
    void operator()(void *p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CurlUrlFree {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlFree>;

struct CurlFree {
    void operator()(char *p) const { curl_free(p); }
};
using CurlStr = std::unique_ptr<char, CurlFree>;

std::optional<std::string> read_small_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data;
    char buf[8192];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.append(buf, static_cast<size_t>(in.gcount()));
        if (data.size() > kMaxSmallFile) return std::nullopt;
    }
    if (in.bad()) return std::nullopt;
    return data;
}

PlistPtr parse_plist(std::string_view data) {
    if (data.empty() || data.size() > kMaxSmallFile) return nullptr;
    if (!pl::safe_for_libplist(data.data(), data.size())) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    return PlistPtr(root);
}

std::optional<std::string> string_value(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t len = 0;
    const char *s = plist_get_string_ptr(node, &len);
    if (!s) return std::nullopt;
    return std::string(s, static_cast<size_t>(len));
}

// Integers may be written as <integer> or, by hand-made feeds, as a decimal string.
std::optional<uint64_t> unsigned_value(plist_t node) {
    if (!node) return std::nullopt;
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return v;
    }
    if (plist_get_node_type(node) == PLIST_REAL) {
        double d = 0;
        plist_get_real_val(node, &d);
        if (!(d >= 0 && d < 9.0e15) || d != static_cast<double>(static_cast<uint64_t>(d))) return std::nullopt;
        return static_cast<uint64_t>(d);
    }
    auto s = string_value(node);
    if (!s || s->empty() || s->size() > 19) return std::nullopt;
    uint64_t v = 0;
    for (char c : *s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

bool is_hex_digest(std::string &s) {
    if (s.size() != 64) return false;
    for (char &c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

std::optional<std::string> to_xml(plist_t root) {
    char *xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root, &xml, &len);
    if (!xml) return std::nullopt;
    std::string doc(xml, len);
    plist_to_xml_free(xml);
    return doc;
}

}  // namespace

bool is_http_url(const std::string &url) {
    CurlUrlPtr u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    char *raw = nullptr;
    if (curl_url_get(u.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) return false;
    CurlStr scheme(raw);
    std::string_view s = scheme.get();
    return s == "http" || s == "https";
}

std::optional<std::string> resolve_url(const std::string &base, const std::string &ref) {
    CurlUrlPtr u(curl_url());
    if (!u || ref.empty()) return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_URL, ref.c_str(), 0) != CURLUE_OK) return std::nullopt;
    char *raw = nullptr;
    if (curl_url_get(u.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) return std::nullopt;
    std::string url = CurlStr(raw).get();
    if (!is_http_url(url)) return std::nullopt;
    return url;
}

ProvidersError read_providers(const std::string &file, Providers &out) {
    auto data = read_small_file(file);
    if (!data) return ProvidersError::Unreadable;
    PlistPtr root = parse_plist(*data);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return ProvidersError::Unreadable;
    plist_t urls = plist_dict_get_item(root.get(), "FeedURLs");
    if (!urls || plist_get_node_type(urls) != PLIST_ARRAY) return ProvidersError::Unreadable;

    Providers p;
    for (uint32_t i = 0, n = plist_array_get_size(urls); i < n; ++i) {
        auto url = string_value(plist_array_get_item(urls, i));
        if (url && is_http_url(*url)) p.feed_urls.push_back(*url);
    }
    if (p.feed_urls.empty()) return ProvidersError::NoUrls;
    // A key list that cannot be read must not quietly turn the signature check off.
    if (plist_t keys = plist_dict_get_item(root.get(), "FeedPublicKeys")) {
        if (plist_get_node_type(keys) != PLIST_ARRAY) return ProvidersError::Unreadable;
        for (uint32_t i = 0, n = plist_array_get_size(keys); i < n; ++i) {
            auto key = string_value(plist_array_get_item(keys, i));
            if (!key) return ProvidersError::Unreadable;
            p.feed_keys.push_back(*key);
        }
    }
    auto seconds = [&](const char *key, long &field) {
        auto v = unsigned_value(plist_dict_get_item(root.get(), key));
        if (v && *v > 0 && *v <= 3600) field = static_cast<long>(*v);
    };
    seconds("ConnectTimeout", p.connect_timeout_s);
    seconds("StallTimeout", p.stall_timeout_s);
    seconds("FeedTimeout", p.feed_timeout_s);
    out = std::move(p);
    return ProvidersError::None;
}

FeedError parse_feed(std::string_view document, const std::string &feed_url, bool full, FeedEntry &out,
                     std::string *why) {
    PlistPtr root = parse_plist(document);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        if (why) *why = "the feed is not a property-list dictionary";
        return FeedError::Invalid;
    }
    plist_t entry = plist_dict_get_item(root.get(), full ? "Full" : "VPN");
    if (!entry) return FeedError::NoEntry;
    auto invalid = [why](const char *reason) {
        if (why) *why = reason;
        return FeedError::Invalid;
    };
    if (plist_get_node_type(entry) != PLIST_DICT) return invalid("the entry is not a dictionary");

    FeedEntry e;
    auto version = string_value(plist_dict_get_item(entry, "Version"));
    auto url = string_value(plist_dict_get_item(entry, "URL"));
    auto size = unsigned_value(plist_dict_get_item(entry, "Size"));
    auto digest = string_value(plist_dict_get_item(entry, "SHA256"));
    if (!version || version->size() > kMaxVersionLength || !parse_version(*version))
        return invalid("Version is missing or not a dotted version");
    if (!url) return invalid("URL is missing");
    if (!size || *size == 0 || *size > kMaxImageSize) return invalid("Size is missing or out of range");
    if (!digest || !is_hex_digest(*digest)) return invalid("SHA256 is not 64 hexadecimal digits");
    auto resolved = resolve_url(feed_url, *url);
    if (!resolved) return invalid("URL is not an http or https URL");
    if (plist_t node = plist_dict_get_item(entry, "Rollout")) {
        auto percent = unsigned_value(node);
        if (!percent || *percent > kMaxRollout) return invalid("Rollout is not a whole number from 0 to 100");
        e.rollout = static_cast<unsigned>(*percent);
    }

    e.version = *version;
    e.url = *resolved;
    e.size = *size;
    e.sha256 = *digest;
    out = std::move(e);
    return FeedError::None;
}

std::optional<uint64_t> feed_serial(std::string_view document) {
    PlistPtr root = parse_plist(document);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    plist_t node = plist_dict_get_item(root.get(), "Serial");
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    return unsigned_value(node);
}

std::optional<FeedValidity> feed_validity(std::string_view document) {
    auto serial = feed_serial(document);
    PlistPtr root = parse_plist(document);
    plist_t node = root ? plist_dict_get_item(root.get(), "Expires") : nullptr;
    if (!serial || !node || plist_get_node_type(node) != PLIST_DATE) return std::nullopt;
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    return FeedValidity{*serial, int64_t{sec} + kAppleEpoch};
}

std::optional<std::string> feed_with_validity(std::string_view document, const FeedValidity &v) {
    PlistPtr root = parse_plist(document);
    int64_t since_2001 = v.expires - kAppleEpoch;
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT || since_2001 < INT32_MIN || since_2001 > INT32_MAX)
        return std::nullopt;
    plist_dict_set_item(root.get(), "Serial", plist_new_uint(v.serial));
    plist_dict_set_item(root.get(), "Expires", plist_new_date(static_cast<int32_t>(since_2001), 0));
    return to_xml(root.get());
}

std::optional<std::string> feed_with_entry(std::string_view existing, bool full, const FeedEntry &e) {
    PlistPtr root(existing.empty() ? plist_new_dict() : parse_plist(existing).release());
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "Version", plist_new_string(e.version.c_str()));
    plist_dict_set_item(entry, "URL", plist_new_string(e.url.c_str()));
    plist_dict_set_item(entry, "Size", plist_new_uint(e.size));
    plist_dict_set_item(entry, "SHA256", plist_new_string(e.sha256.c_str()));
    if (e.rollout) plist_dict_set_item(entry, "Rollout", plist_new_uint(*e.rollout));
    plist_dict_set_item(root.get(), full ? "Full" : "VPN", entry);
    return to_xml(root.get());
}

unsigned rollout_bucket(std::string_view machine, std::string_view version) {
    std::string input(machine);
    input += '\0';
    input += version;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(input.data(), input.size(), md, &len, EVP_sha256(), nullptr) != 1 || len < 8) return kBuckets - 1;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | md[i];
    return static_cast<unsigned>(v % kBuckets);
}

std::optional<std::string> machine_identity(const std::string &root) {
    for (const char *file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        auto text = read_small_file(root + file);
        if (!text) continue;
        std::string id = text->substr(0, text->find('\n'));
        while (!id.empty() && (id.back() == ' ' || id.back() == '\t' || id.back() == '\r')) id.pop_back();
        if (!id.empty() && id.size() <= kMaxIdentity) return id;
    }
    return std::nullopt;
}

bool offered_here(const FeedEntry &e, const std::string &root) {
    if (!e.rollout) return true;
    auto id = machine_identity(root);
    unsigned bucket = id ? rollout_bucket(*id, e.version) : kBuckets - 1;
    return bucket < *e.rollout;
}

std::string image_file_name(const std::string &url) {
    CurlUrlPtr u(curl_url());
    char *raw = nullptr;
    if (u && curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u.get(), CURLUPART_PATH, &raw, CURLU_URLDECODE) == CURLUE_OK) {
        std::string path = CurlStr(raw).get();
        std::string name = path.substr(path.rfind('/') + 1);
        bool safe = !name.empty() && name != "." && name != ".." && name.size() <= 200 && name.front() != '.' &&
                    std::none_of(name.begin(), name.end(),
                                 [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
        if (safe) return name;
    }
    return std::string(kFallbackImageName);
}

}  // namespace bwv::upd
