// Feed, providers and version logic of the update library; no network, no threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/version.hpp"
#include "lib/core/paths.hpp"

namespace bwv::upd {

struct Providers {
    std::vector<std::string> feed_urls;
    // PEM public keys; when any is given, only a feed signed by one of them is accepted.
    std::vector<std::string> feed_keys;
    long connect_timeout_s = 15;
    long stall_timeout_s = 30;
    long feed_timeout_s = 60;
};

enum class ProvidersError { None, Unreadable, NoUrls };

// Reads a providers file: FeedURLs (http/https only, others skipped) and the optional
// ConnectTimeout, StallTimeout and FeedTimeout in seconds, and FeedPublicKeys (an array of
// strings when present, else the file is unreadable).
ProvidersError read_providers(const std::string &file, Providers &out);

struct FeedEntry {
    std::string version;
    std::string url;  // absolute, resolved against the feed's URL
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    // Percentage of machines (0 to 100) that automatic checks offer this version to;
    // nullopt when the feed sets none, and then every machine is offered it.
    std::optional<unsigned> rollout;
};

enum class FeedError { None, Invalid, NoEntry };

// Parses a feed document fetched from feed_url and picks the "Full" or "VPN" entry. A
// Rollout that is not a whole number from 0 to 100 makes the entry invalid: a publisher's
// slip must not offer a staged version to every machine.
// why, when given, gets the reason an entry is invalid.
FeedError parse_feed(std::string_view document, const std::string &feed_url, bool full, FeedEntry &out,
                     std::string *why = nullptr);

// What a signed feed says of itself: its serial number, raised with every publication, and
// the time (Unix seconds) after which it must no longer be believed.
struct FeedValidity {
    uint64_t serial = 0;
    int64_t expires = 0;
};

// The Serial and Expires of a feed document; nullopt when either is missing or malformed.
std::optional<FeedValidity> feed_validity(std::string_view document);
// The Serial of a feed document, when it has one.
std::optional<uint64_t> feed_serial(std::string_view document);

// The document with Serial and Expires set; nullopt when it is not a dictionary.
std::optional<std::string> feed_with_validity(std::string_view document, const FeedValidity &v);

// The feed document with the "Full" or "VPN" entry set to e (its URL written as given,
// Rollout only when set) and everything else of existing kept; existing may be empty for
// a new feed. nullopt when existing is not a property-list dictionary.
std::optional<std::string> feed_with_entry(std::string_view existing, bool full, const FeedEntry &e);

// The stable rollout bucket (0 to 99) of a machine for a version: SHA-256 of the identity,
// a NUL byte and the version, first eight bytes big-endian, modulo 100. Each version
// draws its own machines, so the same ones are not always first.
unsigned rollout_bucket(std::string_view machine, std::string_view version);

// The machine's identity: the first line of etc/machine-id under root, else of
// var/lib/dbus/machine-id; nullopt when neither holds one.
std::optional<std::string> machine_identity(const std::string &root);

// Whether automatic checks on the machine under root offer the entry: always without a
// rollout; else only when the machine's bucket is below it. A machine without an identity
// counts as the last bucket, so it waits for 100.
bool offered_here(const FeedEntry &e, const std::string &root);

// Versions compare as dotted numbers, the same way everywhere.
using ver::compare_versions;
using ver::parse_leading_version;
using ver::parse_version;

// The installed client's version text (ver::installed_version) with its folders under root.
inline std::optional<std::string> installed_version(const std::string &root) {
    return ver::installed_version(root + std::string(paths::kConfDir), root + std::string(paths::kSupportDir));
}

// The file name to store an image under, from the last segment of its URL's path; a
// fixed name when that segment is empty or could escape the download folder.
std::string image_file_name(const std::string &url);

// Resolves a possibly relative reference against base; nullopt unless the result is an
// http or https URL.
std::optional<std::string> resolve_url(const std::string &base, const std::string &ref);

bool is_http_url(const std::string &url);

}  // namespace bwv::upd
