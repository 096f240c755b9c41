// Versions as dotted numbers, and the installed client's version file, shared by the update
// library, the feed publishing tool and the installer, so that all three read and order
// versions the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bwv::ver {

// Pieces of a version that consists of dotted numbers only ("7.4.1"); nullopt otherwise.
std::optional<std::vector<std::string>> parse_version(std::string_view text);

// The leading dotted numbers of an installed version text ("7.4.1\nbuild=3" gives 7.4.1);
// nullopt when it starts with no number.
std::optional<std::vector<std::string>> parse_leading_version(std::string_view text);

// <0, 0, >0 like strcmp, numerically piece by piece; missing pieces count as 0.
int compare_versions(const std::vector<std::string> &a, const std::vector<std::string> &b);

// The installed client's version text: everything after the first "version=" in its file
// "bwvinfo", unchanged to the end (further lines stay in it). The file in conf_dir is read
// first; support_dir's only when that one cannot be read as UTF-8 text (a readable file
// without the key does not fall back). nullopt when neither is readable or the key is
// missing. Only regular files of at most 1 MiB are read: the folders are the client's, but
// a FIFO or a huge file there must not hang or exhaust the reader.
std::optional<std::string> installed_version(const std::string &conf_dir, const std::string &support_dir);

}  // namespace bwv::ver
