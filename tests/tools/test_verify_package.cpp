// The library's package check running the pkgutil stand-in for real.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bwvutil/paths.h>
#include <bwvutil/verify.h>

#include "tools/tool_support.hpp"

namespace {

using namespace bwv::test;

const std::string kSigner = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";

struct RootGuard {
    ~RootGuard() { bwv_set_root(nullptr); }
};

class VerifyPackage : public ::testing::Test {
protected:
    TempDir dir;
    RootGuard guard;

    void SetUp() override {
        bwv_set_root(nullptr);
        std::string src = dir / "src";
        mkdir(src.c_str(), 0755);
        write_file(src + "/Distribution", "<installer-gui-script><title>T</title></installer-gui-script>");
        write_file(src + "/Payload", std::string(50000, 'p'));
    }

    std::string build(const std::string &name, std::vector<std::string> signing) {
        std::vector<std::string> argv = {mkpkg()};
        argv.insert(argv.end(), signing.begin(), signing.end());
        argv.push_back(dir / "src");
        argv.push_back(dir / name);
        auto r = run(argv);
        EXPECT_EQ(r.rc, 0) << r.err;
        return dir / name;
    }

    std::vector<std::string> demo_signing(const std::string &cert) {
        return {"--key", demo("signer.key"), "--cert", cert, "--cert", demo("ca/intermediate.pem"),
                "--cert", demo("ca/root.pem")};
    }
};

TEST_F(VerifyPackage, OnlyTheMakersTrustedIntactPackageIsAccepted) {
    auto ca = make_root_ca(dir.path, "rogue-root", "Rogue Root");
    auto rogue = issue_signer(dir.path, "rogue", kSigner, ca);
    KeyPair intermediate{demo("ca/intermediate.key"), demo("ca/intermediate.pem")};
    auto renamed = issue_signer(dir.path, "renamed", "Developer ID Installer: Other Maker (AAAAAAAAAA)", intermediate,
                                demo("signer.key"));

    std::string good = build("good.pkg", demo_signing(demo("signer.pem")));
    std::string unsigned_pkg = build("unsigned.pkg", {});
    std::string untrusted = build("untrusted.pkg", {"--key", rogue.key, "--cert", rogue.cert, "--cert", ca.cert});
    std::string other_name = build("other-name.pkg", demo_signing(renamed.cert));
    std::string altered = build("altered.pkg", demo_signing(demo("signer.pem")));
    flip_byte(altered, static_cast<long>(read_file(altered).size()) - 100);

    EXPECT_EQ(verifyPackage(good.c_str()), 1);
    EXPECT_EQ(verifyPackage(unsigned_pkg.c_str()), 0);
    EXPECT_EQ(verifyPackage(untrusted.c_str()), 0);
    EXPECT_EQ(verifyPackage(other_name.c_str()), 0);
    EXPECT_EQ(verifyPackage(altered.c_str()), 0);
    EXPECT_EQ(verifyPackage((dir / "missing.pkg").c_str()), 0);
}

TEST_F(VerifyPackage, StandInLinkedIntoATestRootFindsItsTrustAnchors) {
    std::string root = dir / "root";
    for (auto *d : {"", "/usr", "/usr/sbin"}) mkdir((root + d).c_str(), 0755);
    ASSERT_EQ(symlink(tool("pkgutil").c_str(), (root + "/usr/sbin/pkgutil").c_str()), 0);
    bwv_set_root(root.c_str());
    std::string odd = dir / "it's $(a) `weird`; pkg.pkg";
    write_file(odd, read_file(demo("full/Install.mpkg")));
    EXPECT_EQ(verifyPackage(demo("full/Install.mpkg").c_str()), 1);
    EXPECT_EQ(verifyPackage(odd.c_str()), 1);
}

TEST_F(VerifyPackage, MountedDemoImagesAreAcceptedAndTamperedOnesRefused) {
    for (auto kind : {"feed", "tampered"}) {
        SCOPED_TRACE(kind);
        std::string mount = dir / (std::string(kind) + ".mnt");
        mkdir(mount.c_str(), 0755);
        auto a = run({tool("hdiutil"), "attach", demo(std::string(kind) + "/BrindleWaveFull-" BWV_DEMO_VERSION ".dmg"),
                      "-mountpoint", mount, "-noverify", "-nobrowse", "-noautoopen"},
                     "yes\n");
        ASSERT_EQ(a.rc, 0) << a.err;
        EXPECT_EQ(verifyPackage((mount + "/Install.mpkg").c_str()), std::string(kind) == "feed" ? 1 : 0);
        EXPECT_EQ(run({tool("hdiutil"), "detach", mount, "-force"}).rc, 0);
    }
}

}  // namespace
