#include "lib/core/paths.hpp"

#include <bwvutil/paths.h>

#include <dlfcn.h>
#include <link.h>
#include <climits>
#include <unistd.h>

#include <array>
#include <mutex>
#include <utility>

#include "bwv_build_config.h"

namespace bwv::paths {
namespace {

std::mutex g_root_mutex;
std::string g_root;  // without trailing '/', except for "/" itself

constexpr std::array<std::string_view, 7> kTools = {kHdiutil,  kOpen,       kPkgutil, kInstaller,
                                                    kKextload, kKextunload, kKextstat};

// Where tools are looked for when this code cannot tell where it was loaded from: a
// folder that does not exist, so that every tool fails to start.
constexpr char kNoToolDir[] = "/nonexistent/bwvutil";

bool is_tool(std::string_view p) {
    for (auto t : kTools)
        if (t == p) return true;
    return false;
}

std::string compute_tool_dir() {
#if BWV_USE_MACOS_TOOLS
    return {};
#else
    // The tools travel with the code that runs them: libexec/bwvutil beside the lib folder
    // of this library, or beside the MacOS folder of a program that carries the library
    // inside (an application bundle). Never anywhere else, so a copy without its tools
    // runs none rather than whatever the folder it was built in holds now.
    std::string file;
    Dl_info info{};
    struct link_map *map = nullptr;
    if (dladdr1(reinterpret_cast<void *>(&compute_tool_dir), &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) &&
        map) {
        if (map->l_name && map->l_name[0]) {
            file = map->l_name;
            // The loader knows a library loaded through a relative path by that path
            // alone; it names the library only against the working folder of the load,
            // which is why this runs as the library is loaded.
            char cwd[PATH_MAX];
            if (file[0] != '/' && getcwd(cwd, sizeof cwd)) file = std::string(cwd) + "/" + file;
        } else {
            // The main program: the loader knows it only by argv[0].
            char buf[PATH_MAX];
            ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
            if (n > 0) file.assign(buf, static_cast<size_t>(n));
        }
    }
    auto slash = file.rfind('/');
    if (file.empty() || file[0] != '/' || slash == std::string::npos) return kNoToolDir;
    return file.substr(0, slash) + "/../" BWV_LIBEXEC_SUBDIR;
#endif
}

// While the working folder is still the one the library was loaded from.
__attribute__((constructor)) void tool_dir_at_load() {
    try {
        (void)tool_dir();
    } catch (...) {
        // Out of memory this early: the first use tries again.
    }
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
