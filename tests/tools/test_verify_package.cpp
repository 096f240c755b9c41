// The library's package check running the pkgutil stand-in for real.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bwvutil/paths.h>
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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

// The installer's road on the demo image: mount, check, copy next to the image, detach,
// check the copy, hand it to the Installer through open.
TEST_F(VerifyPackage, DemoImageGoesFromMountThroughCopyToTheInstallerHandOff) {
    std::string state = dir / "state";
    setenv("BWV_TOOLS_STATE_DIR", state.c_str(), 1);
    struct EnvGuard {
        ~EnvGuard() { unsetenv("BWV_TOOLS_STATE_DIR"); }
    } env_guard;

    std::string target = dir / "downloads";
    mkdir(target.c_str(), 0755);
    std::string image = target + "/BrindleWaveFull-" BWV_DEMO_VERSION ".dmg";
    write_file(image, read_file(demo("feed/BrindleWaveFull-" BWV_DEMO_VERSION ".dmg")));
    std::string mount = dir / "mnt-4F1C2A";
    mkdir(mount.c_str(), 0755);

    auto a = run({tool("hdiutil"), "attach", image, "-mountpoint", mount, "-noverify", "-nobrowse", "-noautoopen"},
                 "yes\n");
    ASSERT_EQ(a.rc, 0) << a.err;
    ASSERT_EQ(verifyPackage((mount + "/Install.mpkg").c_str()), 1);
    for (auto &name : list_dir(mount)) write_file(target + "/" + name, read_file(mount + "/" + name));
    ASSERT_EQ(run({tool("hdiutil"), "detach", mount, "-force"}).rc, 0);
    EXPECT_TRUE(list_dir(mount).empty());

    std::string pkg = target + "/Install.mpkg";
    ASSERT_EQ(verifyPackage(pkg.c_str()), 1);
    std::string open_tool = tool("open");
    const char *argv[] = {open_tool.c_str(), "-n", "-b", "com.apple.installer", pkg.c_str(), nullptr};
    // ps_runtool waits for the end of open's output: the Installer it starts must not hold it.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ps_runtool(const_cast<char *const *>(argv), nullptr, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    std::string log;
    for (int i = 0; i < 400 && log.find("\tresult\t") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = read_file(state + "/installer.log");
    }
    auto sha = run({"sha256sum", pkg}).out.substr(0, 64);
    EXPECT_NE(log.find("\topen\thandoff\t" + pkg + "\tapp=com.apple.installer size="), std::string::npos) << log;
    EXPECT_NE(log.find(" sha256=" + sha + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\tinstaller\tresult\t" + pkg + "\tsuccess\n"), std::string::npos) << log;
}

}  // namespace
