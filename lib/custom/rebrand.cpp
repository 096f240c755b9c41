#include <bwvutil/custom.h>
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "lib/core/paths.hpp"
#include "lib/core/plobj.hpp"

namespace {

// The rebrand cache: created and filled once, by the first lookup with a key, and only
// then published, so that a reader on another thread never sees it half filled.
std::atomic<gmsg *> strmap{nullptr};
std::mutex strmap_fill;

// False when memory ran out on the way: the texts then must not be kept as they are.
// A file that is missing or does not load has no texts, which is a complete answer.
bool fill_from(gmsg *cache, const char *path) {
    errno = 0;
    dic *d = dic_load_from_file(path);
    if (!d) return errno != ENOMEM;
    bool complete = true;
    // A root that is not a dictionary has no texts; the dictionary helpers would take
    // it as it comes.
    if (d->ref && bwv::pl::kind(d->ref) == bwv::pl::Kind::Dict) {
        int count = dic_get_count(d);
        char **keys = count >= 1 ? dic_get_keys(d) : nullptr;
        if (count >= 1 && !keys) complete = false;
        if (keys) {
            for (int i = 0; i < count; ++i) {
                if (!keys[i]) continue;
                char *value = dic_get_str(d, keys[i]);
                if (!value) {
                    // Null for a value that is not text, or for a copy that failed.
                    plobj *v = bwv::pl::dict_get(d->ref, keys[i]);
                    if (v && bwv::pl::kind(v) == bwv::pl::Kind::String) complete = false;
                } else if (*value && !gmsg_add_str(cache, keys[i], value)) {
                    complete = false;
                }
                std::free(value);
                std::free(keys[i]);
            }
            std::free(keys);
        }
    }
    dic_destroy(d);
    return complete;
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
            // The path first: forming it may throw, and the cache must not leak then.
            const char *path = path_of();
            cache = gmsg_create(0, 0);
            if (!cache) return def;
            if (!fill_from(cache, path)) {
                // Short of memory: a later lookup reads the file again rather than the
                // process keeping an incomplete set of texts for good.
                gmsg_release(cache);
                return def;
            }
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
