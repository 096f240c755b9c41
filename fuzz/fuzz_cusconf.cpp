// The custom configuration reader: cusconf_load on arbitrary bytes placed where the client
// keeps its custom.plist, under a private root.
#include <bwvutil/custom.h>
#include <bwvutil/paths.h>

#include <filesystem>

#include "fuzz/fuzz_support.hpp"
#include "lib/core/paths.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string file = [] {
        std::string root = bwv::fuzz::scratch_dir() + "/root";
        bwv_set_root(root.c_str());
        std::string path = bwv::paths::fixed(bwv::paths::kCustomFile);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }();
    bwv::fuzz::write_file(file, data, size);
    cusconf *conf = cusconf_load();
    const int swupgrade = cusconf_swupgrade_enabled();
    const int rebranded = cusconf_is_rebranded();
    if (conf) {
        BWV_FUZZ_CHECK(conf->swupgrade == swupgrade && conf->rebranded == rebranded);
        BWV_FUZZ_CHECK(conf->swupgrade >= 0 && conf->vpn_only >= 0 && conf->sso_only >= 0 && conf->rebranded >= 0);
        BWV_FUZZ_CHECK(cusconf_destroy(conf) == 0);
    } else {
        BWV_FUZZ_CHECK(swupgrade == 0 && rebranded == 0);
    }
    return 0;
}
