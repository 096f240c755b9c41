// What a flat installer package says it installs, read from a package that may be hostile,
// and the one rule by which the installer hands a package over and the feed publishing
// tool publishes one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bwv::xar {
class Source;
}

namespace bwv::pkg {

// The two clients: the feed entry each is published under and the identifier its package
// carries.
struct Product {
    const char *kind;
    const char *identifier;
};
inline constexpr Product kProducts[] = {
    {"Full", "com.tarvenel.brindlewave.full"},
    {"VPN", "com.tarvenel.brindlewave.vpn"},
};
constexpr const Product &product(bool full) { return kProducts[full ? 0 : 1]; }

struct Facts {
    // Each distinct one, in the order first found: pkg-ref ids of the Distribution and
    // PackageInfo identifiers; pkg-ref versions and PackageInfo versions.
    std::vector<std::string> identifiers;
    std::vector<std::string> versions;
};

// nullopt when the package cannot be read, or records more than a package plausibly does.
std::optional<Facts> read_facts(const std::string &pkg_path);
std::optional<Facts> read_facts(const xar::Source &src);

enum class Verdict {
    accepted,
    no_version,     // records no version at all
    other_product,  // no identifier, or one that is not the product's
    other_version,  // a version other than the one offered
    older,          // older than the installed client
    installed,      // the installed client's own version, where no repair is asked for
};

// installed: the installed client's version text ("version=" onwards), nullopt without a
// client; a text that starts with no number counts as no client. same_allowed: whether the
// installed version may be installed again.
Verdict judge(const Facts &facts, const Product &product, std::string_view offered,
              const std::optional<std::string> &installed, bool same_allowed);

}  // namespace bwv::pkg
