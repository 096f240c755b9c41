// Feed, providers and version logic of the update library; no network, no threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bwv::upd {

struct Providers {
    std::vector<std::string> feed_urls;
    long connect_timeout_s = 15;
    long stall_timeout_s = 30;
    long feed_timeout_s = 60;
};

enum class ProvidersError { None, Unreadable, NoUrls };

// Reads a providers file: FeedURLs (http/https only, others skipped) and the optional
// ConnectTimeout, StallTimeout and FeedTimeout in seconds.
ProvidersError read_providers(const std::string &file, Providers &out);

struct FeedEntry {
    std::string version;
    std::string url;  // absolute, resolved against the feed's URL
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

enum class FeedError { None, Invalid, NoEntry };

// Parses a feed document fetched from feed_url and picks the "Full" or "VPN" entry.
FeedError parse_feed(std::string_view document, const std::string &feed_url, bool full,
                     FeedEntry &out);

// Pieces of a version that consists of dotted numbers only ("7.4.1"); nullopt otherwise.
std::optional<std::vector<std::string>> parse_version(std::string_view text);

// The leading dotted numbers of an installed version text ("7.4.1\nbuild=3" gives 7.4.1);
// nullopt when it starts with no number.
std::optional<std::vector<std::string>> parse_leading_version(std::string_view text);

// <0, 0, >0 like strcmp, numerically piece by piece; missing pieces count as 0.
int compare_versions(const std::vector<std::string> &a, const std::vector<std::string> &b);

// The text after the first "version=" of the client's version file: conf folder first,
// then the support folder, both under root. nullopt when no client version is found.
std::optional<std::string> installed_version(const std::string &root);

// The file name to store an image under, from the last segment of its URL's path; a
// fixed name when that segment is empty or could escape the download folder.
std::string image_file_name(const std::string &url);

// Resolves a possibly relative reference against base; nullopt unless the result is an
// http or https URL.
std::optional<std::string> resolve_url(const std::string &base, const std::string &ref);

bool is_http_url(const std::string &url);

}  // namespace bwv::upd
