// Versions as dotted numbers, shared by the update library, the feed publishing tool and
// the installer, so that all three order versions the same way.
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

}  // namespace bwv::ver
