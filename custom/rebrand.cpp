#include <bwvutil/custom.h>
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/core/paths.hpp"
#include "platform/core/plobj.hpp"

namespace {

// The rebrand cache: created and filled once, by the first lookup with a key, and only
// then published, so that a reader on another thread never sees it half filled.
std::atomic<gmsg *> strmap{nullptr};
std::mutex strmap_fill;

void fill_from(gmsg *cache, const char *path) {
    dic *d = dic_load_from_file(path);
    if (!d) return;
    // A root that is not a dictionary has no texts; the dictionary helpers would take
    // it as it comes.
    if (d->ref && bwv::pl::kind(d->ref) == bwv::pl::Kind::Dict) {
        int count = dic_get_count(d);
        char **keys = count >= 1 ? dic_get_keys(d) : nullptr;
        if (keys) {
            for (int i = 0; i < count; ++i) {
                if (!keys[i]) continue;
                char *value = dic_get_str(d, keys[i]);
                if (value && *value) gmsg_add_str(cache, keys[i], value);
                std::free(value);
                std::free(keys[i]);
            }
            std::free(keys);
        }
    }
    dic_destroy(d);
}

// path_of is asked for the file only when the cache is still to be made.
template <typename PathOf>
const char *lookup(PathOf path_of, const char *key, const char *def) {
    if (!key || !*key) return def;
    gmsg *cache = strmap.load(std::memory_order_acquire);
    if (!cache) {
        std::lock_guard lock(strmap_fill);
        cache = strmap.load(std::memory_order_relaxed);
        if (!cache) {
            cache = gmsg_create(0, 0);
            if (!cache) return def;
            fill_from(cache, path_of());
            strmap.store(cache, std::memory_order_release);
        }
    }
    const char *text = gmsg_get_str(cache, key);
    return text ? text : def;
}

}  // namespace

extern "C" {

const char *getbwvtxt_ex(const char *path, const char *key, const char *def) {
    try {
        return lookup([path] { return path; }, key, def);
    } catch (...) {
        return def;
    }
}

const char *getbwvtxt(const char *key, const char *def) {
    try {
        std::string path;
        return lookup(
            [&path] {
                path = bwv::paths::fixed(bwv::paths::kRebrandFile);
                return path.c_str();
            },
            key, def);
    } catch (...) {
        return def;
    }
}

const char *get_bwvpname(void) { return getbwvtxt("ProductName", "BrindleWave"); }

}  // extern "C"
