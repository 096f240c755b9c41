#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tools/tool_support.hpp"

namespace {

using namespace bwv::test;

struct LogRecord {
    std::string tool, event, subject, detail;
};

class InstallerHandOff : public ::testing::Test {
protected:
    TempDir dir;
    std::string state = dir / "state";
    Env env{{"BWV_TOOLS_STATE_DIR", dir / "state"}};

    std::vector<LogRecord> log() {
        std::vector<LogRecord> v;
        for (auto &l : lines(read_file(state + "/installer.log"))) {
            std::vector<std::string> f;
            size_t pos = 0;
            for (;;) {
                auto tab = l.find('\t', pos);
                f.push_back(l.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
                if (tab == std::string::npos) break;
                pos = tab + 1;
            }
            EXPECT_EQ(f.size(), 5u) << l;
            if (f.size() == 5) v.push_back({f[1], f[2], f[3], f[4]});
        }
        return v;
    }

    std::vector<LogRecord> events(const std::string &event) {
        std::vector<LogRecord> v;
        for (auto &r : log())
            if (r.event == event) v.push_back(r);
        return v;
    }

    // The installer the opener starts runs on after open returns.
    bool wait_for_result(size_t count) {
        for (int i = 0; i < 400; ++i) {
            if (events("result").size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string copy_package(const std::string &from, const std::string &name) {
        std::string to = dir / name;
        write_file(to, read_file(from));
        return to;
    }

    RunResult install(const std::string &pkg, const std::vector<std::string> &extra = {}) {
        std::vector<std::string> argv = {tool("installer"), "-pkg", pkg, "-target", "/"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run(argv, {}, env);
    }
};

TEST_F(InstallerHandOff, InstallerChecksTheSignedPackageAndRecordsWhatItWouldInstall) {
    std::string pkg = copy_package(demo("full/Install.mpkg"), "Install.mpkg");
    auto r = install(pkg);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "installer: Package name is BrindleWave\n"
              "installer: Installing at base path /\n"
              "installer: The install was successful.\n");
    auto rec = log();
    ASSERT_GE(rec.size(), 3u);
    EXPECT_EQ(rec.front().tool, "installer");
    EXPECT_EQ(rec.front().event, "install");
    EXPECT_EQ(rec.front().subject, pkg);
    EXPECT_NE(rec.front().detail.find("signer=Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)"), std::string::npos);
    bool payload = false;
    for (auto &w : events("would-install")) payload = payload || w.detail.find(" BrindleWave.pkg/Payload") != std::string::npos;
    EXPECT_TRUE(payload);
    EXPECT_EQ(rec.back().event, "result");
    EXPECT_EQ(rec.back().detail, "success");
}

TEST_F(InstallerHandOff, TamperedOrUntrustedPackagesAreNotInstalled) {
    std::string tampered = copy_package(demo("full/Install.mpkg"), "tampered.pkg");
    flip_byte(tampered, static_cast<long>(read_file(tampered).size()) - 1);
    auto r = install(tampered);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("installer: The install failed."), std::string::npos) << r.out;
    EXPECT_TRUE(events("would-install").empty());
    ASSERT_EQ(events("result").size(), 1u);
    EXPECT_EQ(events("result")[0].detail.rfind("failed: package is invalid (checksum did not verify)", 0), 0u);

    auto ca = make_root_ca(dir.path(), "other-root", "Other Root");
    auto signer = issue_signer(dir.path(), "other-signer", "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)", ca);
    std::string src = dir / "src";
    mkdir(src.c_str(), 0755);
    write_file(src + "/Distribution", "<installer-gui-script><title>Other</title></installer-gui-script>");
    std::string untrusted = dir / "untrusted.pkg";
    ASSERT_EQ(run({mkpkg(), "--key", signer.key, "--cert", signer.cert, "--cert", ca.cert, src, untrusted}).rc, 0);
    EXPECT_EQ(install(untrusted).rc, 1);
    EXPECT_TRUE(events("would-install").empty());
    // As the real installer, -allowUntrusted lets it through, and unsigned packages install.
    EXPECT_EQ(install(untrusted, {"-allowUntrusted"}).rc, 0);
    std::string unsigned_pkg = dir / "unsigned.pkg";
    ASSERT_EQ(run({mkpkg(), src, unsigned_pkg}).rc, 0);
    auto u = install(unsigned_pkg);
    EXPECT_EQ(u.rc, 0);
    EXPECT_NE(u.out.find("installer: Package name is Other\n"), std::string::npos);
}

TEST_F(InstallerHandOff, InstallerRefusesBadArgumentsWithoutRecordingAnything) {
    auto missing = install(dir / "nothing.pkg");
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(missing.err, "installer: Error - the package path specified was invalid: '" + dir / "nothing.pkg" + "'.\n");
    auto no_target = run({tool("installer"), "-pkg", demo("full/Install.mpkg")}, {}, env);
    EXPECT_NE(no_target.rc, 0);
    EXPECT_FALSE(exists(state + "/installer.log"));
}

TEST_F(InstallerHandOff, OpenHandsThePackageToTheInstallerAndReturnsAtOnce) {
    std::string pkg = copy_package(demo("vpn/Install.mpkg"), "Install.mpkg");
    unsigned long long size = read_file(pkg).size();
    auto r = run({tool("open"), "-n", "-b", "com.apple.installer", pkg}, {}, env);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // The hand-off is on record by the time open returns.
    auto handoff = events("handoff");
    ASSERT_EQ(handoff.size(), 1u);
    EXPECT_EQ(handoff[0].tool, "open");
    EXPECT_EQ(handoff[0].subject, pkg);
    auto sha = run({"sha256sum", pkg});
    EXPECT_EQ(handoff[0].detail, "app=com.apple.installer size=" + std::to_string(size) +
                                     " sha256=" + sha.out.substr(0, 64));
    ASSERT_TRUE(wait_for_result(1));
    auto result = events("result");
    EXPECT_EQ(result[0].tool, "installer");
    EXPECT_EQ(result[0].subject, pkg);
    EXPECT_EQ(result[0].detail, "success");
}

TEST_F(InstallerHandOff, OpenRefusesOtherApplicationsAndMissingFiles) {
    auto other = run({tool("open"), "-n", "-b", "com.example.editor", demo("full/Install.mpkg")}, {}, env);
    EXPECT_EQ(other.rc, 1);
    EXPECT_EQ(other.err, "Unable to find application with bundle identifier com.example.editor\n");
    auto missing = run({tool("open"), "-n", "-b", "com.apple.installer", dir / "gone.pkg"}, {}, env);
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(missing.err, "The file " + dir / "gone.pkg" + " does not exist.\n");
    EXPECT_FALSE(exists(state + "/installer.log"));
}

TEST_F(InstallerHandOff, NeitherOpenNorInstallerTouchesAnythingButTheLog) {
    TempDir home, tmp, cwd, pkgdir;
    std::string pkg = pkgdir / "Install.mpkg";
    write_file(pkg, read_file(demo("full/Install.mpkg")));
    struct stat before{};
    stat(pkg.c_str(), &before);
    bool client_dir_existed = exists("/Library/Application Support/Tarvenel");
    Env e = env;
    e.push_back({"HOME", home.path()});
    e.push_back({"TMPDIR", tmp.path()});

    EXPECT_EQ(run({tool("installer"), "-pkg", pkg, "-target", "/"}, {}, e, cwd.path()).rc, 0);
    EXPECT_EQ(run({tool("open"), "-n", "-b", "com.apple.installer", pkg}, {}, e, cwd.path()).rc, 0);
    ASSERT_TRUE(wait_for_result(2));

    EXPECT_EQ(walk(state), std::vector<std::string>{"installer.log"});
    EXPECT_TRUE(walk(home.path()).empty());
    EXPECT_TRUE(walk(tmp.path()).empty());
    EXPECT_TRUE(walk(cwd.path()).empty());
    EXPECT_EQ(walk(pkgdir.path()), std::vector<std::string>{"Install.mpkg"});
    EXPECT_EQ(read_file(pkg), read_file(demo("full/Install.mpkg")));
    struct stat after{};
    stat(pkg.c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    // The package's payload names the client folder; nothing may appear there.
    EXPECT_EQ(exists("/Library/Application Support/Tarvenel"), client_dir_existed);
}

TEST(KextTools, LoadedExtensionsAreListedUntilUnloaded) {
    TempDir dir;
    Env env{{"BWV_TOOLS_STATE_DIR", dir / "state"}};
    std::string kext = dir / "Filter.kext";
    mkdir(kext.c_str(), 0755);
    mkdir((kext + "/Contents").c_str(), 0755);
    write_file(kext + "/Contents/Info.plist",
               "<plist><dict><key>CFBundleIdentifier</key><string>com.tarvenel.filter</string></dict></plist>");

    EXPECT_EQ(run({tool("kextload"), "-b", "com.tarvenel.nke"}, {}, env).rc, 0);
    EXPECT_EQ(run({tool("kextload"), kext}, {}, env).rc, 0);
    auto stat = run({tool("kextstat")}, {}, env);
    EXPECT_EQ(stat.rc, 0);
    EXPECT_NE(stat.out.find(" com.tarvenel.nke (1.0.0)"), std::string::npos) << stat.out;
    EXPECT_NE(stat.out.find(" com.tarvenel.filter (1.0.0)"), std::string::npos) << stat.out;

    EXPECT_EQ(run({tool("kextunload"), "-b", "com.tarvenel.nke"}, {}, env).rc, 0);
    EXPECT_EQ(run({tool("kextunload"), "-b", "com.tarvenel.nke"}, {}, env).rc, 3);
    stat = run({tool("kextstat")}, {}, env);
    EXPECT_EQ(stat.out.find("com.tarvenel.nke"), std::string::npos);
    EXPECT_NE(stat.out.find("com.tarvenel.filter"), std::string::npos);
    EXPECT_NE(run({tool("kextload"), dir / "Missing.kext"}, {}, env).rc, 0);
}

}  // namespace
