// What a flat installer package says about itself, read from a hostile package.
#pragma once

#include <string>
#include <vector>

namespace bwv::xar {

// The versions a flat package records: every pkg-ref version of its Distribution and the
// version of every component's PackageInfo. False when the package cannot be read.
bool package_versions(const std::string &pkg_path, std::vector<std::string> &versions);

}  // namespace bwv::xar
