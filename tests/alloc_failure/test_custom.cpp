#include <bwvutil/custom.h>
#include <bwvutil/dic.h>
#include <bwvutil/paths.h>

#include "fixture.hpp"

#include <filesystem>
#include <string>

namespace {

using namespace bwv::test::alloc;
namespace fs = std::filesystem;

class AllocFailureCustom : public AllocFailureInDir {
protected:
    void SetUp() override
    {
        AllocFailureInDir::SetUp();
        if (IsSkipped())
            return;
        fs::path conf = fs::path(dir_) / "Library/Application Support/Tarvenel/BrindleWave/conf";
        fs::create_directories(conf);
        dic *d = dic_create();
        dic_set_int(d, "SWUpgrade", 1);
        dic_set_boolean(d, "VPNOnly", 1);
        dic_set_int(d, "SSOOnly", 0);
        dic_set_str(d, "Rebranded", "1");
        ASSERT_EQ(dic_save_to_file(d, (conf / "custom.plist").c_str()), 0);
        dic_destroy(d);
        bwv_set_root(dir_.c_str());
    }
    void TearDown() override
    {
        bwv_set_root(nullptr);
        AllocFailureInDir::TearDown();
    }
};

TEST_F(AllocFailureCustom, TheConfigurationLoadsWholeOrNotAtAll)
{
    exhaust("cusconf_load", [](Attempt &run) {
        cusconf *conf = nullptr;
        run.during([&] { conf = cusconf_load(); });
        if (conf) {
            EXPECT_EQ(conf->swupgrade, 1);
            EXPECT_EQ(conf->vpn_only, 1);
            EXPECT_EQ(conf->sso_only, 0);
            EXPECT_EQ(conf->rebranded, 1);
        } else {
            EXPECT_TRUE(run.failed());
        }
        cusconf_destroy(conf);
    });
}

}  // namespace
