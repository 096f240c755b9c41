#include "platform/core/paths.hpp"

#include <bwvutil/paths.h>

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <utility>

#include "bwv_build_config.h"

namespace bwv::paths {
namespace {

std::mutex g_root_mutex;
std::string g_root;  // without trailing '/', except for "/" itself

constexpr std::array<std::string_view, 7> kTools = {kHdiutil, kOpen, kPkgutil, kInstaller,
                                                    kKextload, kKextunload, kKextstat};

bool is_tool(std::string_view p) {
    for (auto t : kTools)
        if (t == p) return true;
    return false;
}

std::string compute_tool_dir() {
#if BWV_USE_MACOS_TOOLS
    return {};
#else
    // Tools live in libexec/bwvutil beside the library's lib folder, in the build tree
    // and in an installed tree alike; a static link falls back to the build tree.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&compute_tool_dir), &info) && info.dli_fname) {
        std::string lib = info.dli_fname;
        auto slash = lib.rfind('/');
        if (slash != std::string::npos) {
            std::string dir = lib.substr(0, slash) + "/../" BWV_LIBEXEC_SUBDIR;
            if (access((dir + "/hdiutil").c_str(), X_OK) == 0) return dir;
        }
    }
    return BWV_BUILD_TOOL_DIR;
#endif
}

}  // namespace

std::string root() {
    std::lock_guard lock(g_root_mutex);
    return g_root;
}

std::string tool_dir() {
    static const std::string dir = compute_tool_dir();
    return dir;
}

std::string fixed(std::string_view macos_path) {
    std::string r = root();
    if (!r.empty()) {
        // A root of "/" is the macOS layout itself: no prefix, and no tool stand-ins either.
        if (r == "/") r.clear();
        return r + std::string(macos_path);
    }
    if (is_tool(macos_path)) {
        std::string dir = tool_dir();
        if (!dir.empty()) {
            auto slash = macos_path.rfind('/');
            return dir + std::string(macos_path.substr(slash));
        }
    }
    return std::string(macos_path);
}

}  // namespace bwv::paths

extern "C" {

BWV_API void bwv_set_root(const char *root) {
    std::lock_guard lock(bwv::paths::g_root_mutex);
    std::string r = root ? root : "";  // a copy first: root may be bwv_root()'s own text
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    bwv::paths::g_root = std::move(r);
}

BWV_API const char *bwv_root(void) {
    std::lock_guard lock(bwv::paths::g_root_mutex);
    return bwv::paths::g_root.c_str();
}

}
