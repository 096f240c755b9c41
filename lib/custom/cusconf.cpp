#include <bwvutil/custom.h>
#include <bwvutil/dic.h>

#include <cstdlib>
#include <string>

#include "lib/core/paths.hpp"
#include "lib/core/plobj.hpp"

namespace {

void read_switch(dic *d, const char *key, int32_t &field) {
    int v = dic_get_int(d, key);
    if (v >= 0) field = v;
}

}  // namespace

extern "C" {

cusconf *cusconf_load(void) {
    try {
        // The path first: it may throw, and nothing must be held when it does.
        std::string path = bwv::paths::fixed(bwv::paths::kCustomFile);
        auto *conf = static_cast<cusconf *>(std::calloc(1, sizeof(cusconf)));
        if (!conf) return nullptr;
        dic *d = dic_load_from_file(path.c_str());
        if (!d || !d->ref || bwv::pl::kind(d->ref) != bwv::pl::Kind::Dict) {
            if (d) dic_destroy(d);
            std::free(conf);
            return nullptr;
        }
        read_switch(d, "SWUpgrade", conf->swupgrade);
        read_switch(d, "VPNOnly", conf->vpn_only);
        read_switch(d, "SSOOnly", conf->sso_only);
        read_switch(d, "Rebranded", conf->rebranded);
        dic_destroy(d);
        return conf;
    } catch (...) {
        return nullptr;
    }
}

int cusconf_destroy(cusconf *conf) {
    if (!conf) return -1;
    std::free(conf);
    return 0;
}

int cusconf_swupgrade_enabled(void) {
    cusconf *conf = cusconf_load();
    if (!conf) return 0;
    int v = conf->swupgrade;
    cusconf_destroy(conf);
    return v;
}

int cusconf_is_rebranded(void) {
    cusconf *conf = cusconf_load();
    if (!conf) return 0;
    int v = conf->rebranded;
    cusconf_destroy(conf);
    return v;
}

}  // extern "C"
