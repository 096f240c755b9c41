// Every fixed absolute path of the system, and the one place that turns them into the
// paths actually used (test root, Linux tool stand-ins).
#pragma once

#include <string>
#include <string_view>

namespace bwv::paths {

inline constexpr std::string_view kSupportDir = "/Library/Application Support/Tarvenel/BrindleWave";
inline constexpr std::string_view kBinDir = "/Library/Application Support/Tarvenel/BrindleWave/bin";
inline constexpr std::string_view kUpdateTool = "/Library/Application Support/Tarvenel/BrindleWave/bin/bwvupdate";
inline constexpr std::string_view kConfDir = "/Library/Application Support/Tarvenel/BrindleWave/conf";
inline constexpr std::string_view kRebrandFile =
    "/Library/Application Support/Tarvenel/BrindleWave/conf/rebrand_text.plist";
inline constexpr std::string_view kCustomFile = "/Library/Application Support/Tarvenel/BrindleWave/conf/custom.plist";
inline constexpr std::string_view kCertTrustMarker =
    "/Library/Application Support/Tarvenel/BrindleWave/data/external_cert_trust";
inline constexpr std::string_view kKextLoadLog =
    "/Library/Application Support/Tarvenel/BrindleWave/Logs/loadednkes.log";
inline constexpr std::string_view kLogsDir = "/Library/Logs/BrindleWave";
inline constexpr std::string_view kPreferencesDir = "/Library/Preferences";
inline constexpr std::string_view kTmp = "/tmp";
inline constexpr std::string_view kUpgradePkg = "/tmp/bwv_upgrade.pkg";
inline constexpr std::string_view kConsole = "/dev/console";
// Notice channel to the client's front end: the sender's own socket and the front end's;
// "%d" is the console user id, filled in before the path goes through fixed().
inline constexpr std::string_view kNoticeSenderSocketFmt = "/tmp/3f9c1e7a2d4b68e0c5a19f72b3d8e641_%d";
inline constexpr std::string_view kNoticeGuiSocketFmt = "/tmp/a72e5c09d1f43b86e2c7a5d90b1f3e28_%d";

// macOS system tools; on Linux builds they resolve to the project's stand-ins.
inline constexpr std::string_view kHdiutil = "/usr/bin/hdiutil";
inline constexpr std::string_view kOpen = "/usr/bin/open";
inline constexpr std::string_view kPkgutil = "/usr/sbin/pkgutil";
inline constexpr std::string_view kInstaller = "/usr/sbin/installer";
inline constexpr std::string_view kKextload = "/sbin/kextload";
inline constexpr std::string_view kKextunload = "/sbin/kextunload";
inline constexpr std::string_view kKextstat = "/usr/sbin/kextstat";

// The path to use for a fixed macOS path: under the test root when one is set; the
// tool stand-in for a tool path on Linux; the path itself otherwise.
std::string fixed(std::string_view macos_path);

// The root set by bwv_set_root, "" when none.
std::string root();

// Folder holding the Linux tool stand-ins ("" on a build that uses the real tools):
// libexec/bwvutil beside the folder of the file this library was loaded from, whether or
// not the tools are there.
std::string tool_dir();

}  // namespace bwv::paths
