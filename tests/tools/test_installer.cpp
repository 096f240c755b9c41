#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tools/tool_support.hpp"

namespace {

using namespace bwv::test;
using Fields = std::vector<std::string>;

struct Tools : ::testing::Test {
    TempDir dir, home, tmp, cwd;
    Env env{{"BWV_TOOLS_STATE_DIR", dir / "state"}, {"HOME", home.path()}, {"TMPDIR", tmp.path()}};

    RunResult tool_run(const std::string &name, Fields args) {
        args.insert(args.begin(), tool(name));
        return run(args, {}, env, cwd.path());
    }
    // The installer log's records of one event: tool, event, package, detail.
    std::vector<Fields> records(const std::string &event) {
        std::vector<Fields> out;
        for (auto &l : lines(exists(dir / "state/installer.log") ? dir.read("state/installer.log") : "")) {
            Fields f(1);
            for (char c : l) c == '\t' ? f.emplace_back() : f.back() += c;
            EXPECT_EQ(f.size(), 5u) << l;
            if (f.size() == 5 && f[2] == event) out.push_back({f.begin() + 1, f.end()});
        }
        return out;
    }
};

// What it would install is recorded only for packages that pass the check, and nothing but
// the log is written: not the package, the home, temporary or current folder, nor the client's.
TEST_F(Tools, InstallerChecksThePackageAndOnlyRecordsWhatItWouldInstall) {
    std::string full = dir.write("pkgs/Install.mpkg", read_file(demo("full/Install.mpkg")));
    std::string tampered = dir.write("pkgs/tampered.pkg", read_file(full)), untrusted = dir / "pkgs/untrusted.pkg";
    flip_byte(tampered, static_cast<long>(read_file(tampered).size()) - 1);
    dir.write("src/Distribution", "<installer-gui-script><title>Other</title></installer-gui-script>");
    ASSERT_EQ(run({mkpkg(), "--key", demo("signer.key"), "--cert", demo("signer.pem"), dir / "src", untrusted}).rc, 0);
    ASSERT_EQ(run({mkpkg(), dir / "src", dir / "pkgs/unsigned.pkg"}).rc, 0);
    bool client_folder = exists("/Library/Application Support/Tarvenel");
    const std::string ok = "installer: The install was successful.\n";
    const struct {
        Fields args;
        int rc;
        std::string out, result;
    } rows[] = {
        {{full}, 0, "installer: Package name is BrindleWave\ninstaller: Installing at base path /\n" + ok, "success"},
        {{tampered}, 1, "installer: The install failed.", "failed: package is invalid (checksum did not verify)"},
        {{untrusted}, 1, "installer: The install failed.", "failed: "},
        // As the real installer, -allowUntrusted lets it through, and unsigned packages install.
        {{untrusted, "-allowUntrusted"}, 0, "installer: Package name is Other\n", "success"},
        {{dir / "pkgs/unsigned.pkg"}, 0, ok, "success"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.args[0]);
        size_t before = records("would-install").size();
        Fields args = row.args;
        args.insert(args.begin(), {"-target", "/", "-pkg"});
        auto r = tool_run("installer", args);
        EXPECT_EQ(r.rc, row.rc) << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        EXPECT_EQ(records("would-install").size() > before, row.rc == 0);
        auto results = records("result");
        ASSERT_FALSE(results.empty());
        auto &result = results.back();
        EXPECT_EQ(result[2], row.args[0]);
        EXPECT_EQ(result[3].rfind(row.result, 0), 0u) << result[3];
    }
    EXPECT_NE(records("install").at(0)[3].find("signer=Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)"),
              std::string::npos);
    EXPECT_NE(dir.read("state/installer.log").find(" BrindleWave.pkg/Payload\n"), std::string::npos);
    EXPECT_EQ(walk(dir / "state"), Fields{"installer.log"});
    EXPECT_TRUE(walk(home.path()).empty() && walk(tmp.path()).empty() && walk(cwd.path()).empty());
    EXPECT_EQ(walk(dir / "pkgs"), (Fields{"Install.mpkg", "tampered.pkg", "unsigned.pkg", "untrusted.pkg"}));
    EXPECT_EQ(read_file(full), read_file(demo("full/Install.mpkg")));
    EXPECT_EQ(exists("/Library/Application Support/Tarvenel"), client_folder);
}

TEST_F(Tools, OpenHandsThePackageToTheInstallerAndReturnsAtOnce) {
    std::string pkg = dir.write("Install.mpkg", read_file(demo("vpn/Install.mpkg")));
    auto r = tool_run("open", {"-n", "-b", "com.apple.installer", pkg});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // The hand-off is on record by the time open returns; the installer follows.
    EXPECT_EQ(records("handoff"),
              (std::vector<Fields>{{"open", "handoff", pkg,
                                    "app=com.apple.installer size=" + std::to_string(read_file(pkg).size()) +
                                        " sha256=" + run({"sha256sum", pkg}).out.substr(0, 64)}}));
    for (int i = 0; i < 400 && records("result").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(records("result"), (std::vector<Fields>{{"installer", "result", pkg, "success"}}));
}

TEST_F(Tools, BadArgumentsAreRefusedWithoutRecordingAnything) {
    const std::string pkg = demo("full/Install.mpkg");
    const std::pair<Fields, std::string> rows[] = {
        {{"installer", "-pkg", dir / "nothing.pkg", "-target", "/"},
         "installer: Error - the package path specified was invalid: '" + dir / "nothing.pkg" + "'.\n"},
        {{"installer", "-pkg", pkg}, ""},
        {{"installer", "-pkg", pkg, "-target", "/", "-quiet"}, ""},
        {{"installer", "-target", "/"},
         "usage: installer -pkg PACKAGE -target (/ | DEVICE | MOUNTPOINT) [-allowUntrusted] [-verbose]\n"},
        {{"open", "-n", "-b", "com.example.editor", pkg},
         "Unable to find application with bundle identifier com.example.editor\n"},
        {{"open", pkg, "-a", "TextEdit"}, "Unable to find application named 'TextEdit'\n"},
        {{"open", "-n", "-b", "com.apple.installer", dir / "gone.pkg"},
         "The file " + dir / "gone.pkg" + " does not exist.\n"},
        {{"open", "-b", "com.apple.installer", "-x", pkg}, ""},
        {{"open", dir.write("notes.txt", "x")}, "No application knows how to open " + dir / "notes.txt" + ".\n"},
    };
    for (auto &[args, err] : rows) {
        auto r = tool_run(args[0], {args.begin() + 1, args.end()});
        EXPECT_EQ(r.rc, 1) << args[0] << " " << args[2];
        EXPECT_EQ(err.empty() ? "" : r.err, err);
    }
    EXPECT_FALSE(exists(dir / "state/installer.log"));
}

TEST_F(Tools, LoadedExtensionsAreListedUntilUnloaded) {
    dir.write("Filter.kext/Contents/Info.plist",
              "<plist><dict><key>CFBundleIdentifier</key><string>com.tarvenel.filter</string></dict></plist>");
    EXPECT_EQ(tool_run("kextload", {"-b", "com.tarvenel.nke"}).rc, 0);
    dir.write("Bare.kext/Contents/MacOS/Bare", "");  // no Info.plist: named after its folder
    for (const std::string &kext : {dir / "Filter.kext", dir / "Bare.kext"})
        EXPECT_EQ(tool_run("kextload", {kext}).rc, 0);
    for (const std::string &none : {dir / "Missing.kext", dir.write("Plain.kext", "")})  // only a folder is one
        EXPECT_EQ(tool_run("kextload", {none}).rc, 71) << none;
    auto listing = tool_run("kextstat", {}).out;
    EXPECT_TRUE(listing.find(" com.tarvenel.nke (1.0.0)") != listing.npos &&
                listing.find(" com.tarvenel.filter (1.0.0)") != listing.npos &&
                listing.find(" Bare (1.0.0)") != listing.npos)
        << listing;
    EXPECT_EQ(tool_run("kextunload", {"-b", "com.tarvenel.nke"}).rc, 0);
    EXPECT_EQ(tool_run("kextunload", {"-b", "com.tarvenel.nke"}).rc, 3);
    listing = tool_run("kextstat", {}).out;
    EXPECT_TRUE(listing.find("com.tarvenel.nke") == listing.npos &&
                listing.find("com.tarvenel.filter") != listing.npos);
}

}  // namespace
