#include <gtest/gtest.h>

#include <bwvutil/custom.h>

#include <string>

#include "custom_support.hpp"

using bwv_test::FakeRoot;
using bwv_test::plist_dict;

namespace {

struct Conf {
    cusconf *c = cusconf_load();
    ~Conf() { cusconf_destroy(c); }
};

TEST(CustomConfig, WithoutTheFileNothingIsEnabled) {
    FakeRoot root;
    Conf conf;
    EXPECT_EQ(conf.c, nullptr);
    EXPECT_EQ(cusconf_swupgrade_enabled(), 0);
    EXPECT_EQ(cusconf_is_rebranded(), 0);
    EXPECT_EQ(cusconf_destroy(nullptr), -1);
}

TEST(CustomConfig, SwitchesAreReadInTheirOrderAndPassedOnAsStored) {
    FakeRoot root;
    FakeRoot::write(root.custom_file(),
                    plist_dict("<key>SWUpgrade</key><integer>1</integer>\n"
                               "<key>VPNOnly</key><true/>\n"
                               "<key>SSOOnly</key><string>3</string>\n"
                               "<key>Rebranded</key><integer>2</integer>\n"));
    Conf conf;
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf.c->swupgrade, 1);
    EXPECT_EQ(conf.c->vpn_only, 1);
    EXPECT_EQ(conf.c->sso_only, 3);
    EXPECT_EQ(conf.c->rebranded, 2);
    EXPECT_EQ(cusconf_is_rebranded(), 2);
}

TEST(CustomConfig, UpgradeSwitchAcceptsBooleanIntegerAndTextButNotNegatives) {
    FakeRoot root;
    const std::pair<const char *, int> cases[] = {
        {"<true/>", 1},          {"<false/>", 0},
        {"<integer>1</integer>", 1}, {"<string>1</string>", 1},
        {"<integer>-1</integer>", 0}, {"<integer>-7</integer>", 0},
        {"<string>yes</string>", 0},  {"<dict/>", 0},
        {"<data>AQ==</data>", 0},     {"<real>2.9</real>", 2},
    };
    for (auto &[value, expected] : cases) {
        SCOPED_TRACE(value);
        FakeRoot::write(root.custom_file(),
                        plist_dict(std::string("<key>SWUpgrade</key>") + value + "\n"));
        EXPECT_EQ(cusconf_swupgrade_enabled(), expected);
    }
}

TEST(CustomConfig, EveryCallReadsTheFileAgain) {
    FakeRoot root;
    FakeRoot::write(root.custom_file(), plist_dict(""));
    {
        Conf conf;
        ASSERT_NE(conf.c, nullptr);
        EXPECT_EQ(conf.c->swupgrade, 0);
        EXPECT_EQ(conf.c->vpn_only, 0);
        EXPECT_EQ(conf.c->sso_only, 0);
        EXPECT_EQ(conf.c->rebranded, 0);
    }
    FakeRoot::write(root.custom_file(), plist_dict("<key>Rebranded</key><true/>\n"));
    EXPECT_EQ(cusconf_is_rebranded(), 1);
    FakeRoot::write(root.custom_file(), plist_dict("<key>Rebranded</key><false/>\n"));
    EXPECT_EQ(cusconf_is_rebranded(), 0);
}

TEST(CustomConfig, DamagedOrForeignFilesAreRefused) {
    FakeRoot root;
    for (const std::string &body : {bwv_test::evil_bomb(), std::string("garbage"), std::string(),
                                    std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
                                                "<integer>1</integer></array></plist>")}) {
        SCOPED_TRACE(body);
        FakeRoot::write(root.custom_file(), body);
        Conf conf;
        EXPECT_EQ(conf.c, nullptr);
        EXPECT_EQ(cusconf_swupgrade_enabled(), 0);
    }
}

}  // namespace
