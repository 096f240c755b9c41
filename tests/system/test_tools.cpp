#include <gtest/gtest.h>

#include <bwvutil/paths.h>
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <tuple>

#include "platform/core/paths.hpp"
#include "support/bwvtest.hpp"

namespace {

namespace paths = bwv::paths;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;

const std::string kStatus = "Status: signed by a developer certificate issued by Apple for distribution";
const std::string kCert = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";
const std::string kLog = std::string(paths::kKextLoadLog).substr(1);

// A fake root whose pkgutil records its arguments and prints the report file.
struct PkgutilRoot : Root {
    PkgutilRoot() { script("usr/sbin/pkgutil", "printf '%s\\n' \"$@\" > '@ROOT@/args'\ncat '@ROOT@/report'\nexit 1\n"); }
    int verify(const std::string &report, const char *pkg = "/pkgs/Install.mpkg")
    {
        write("report", report);
        unlink(file("args").c_str());
        return verifyPackage(pkg);
    }
};

// pkgutil's report with the given status line and signer's name.
std::string report(const std::string &status, const std::string &signer)
{
    return "Package \"Install.mpkg\":\n   " + status + "\n   Notarization: trusted by the Apple notary service\n"
           "   Certificate Chain:\n    1. " + signer + "\n       Expires: 2031-02-01 22:12:15 +0000\n"
           "    2. Developer ID Certification Authority\n    3. Apple Root CA\n";
}

// Names in the chain are the signer's own text: the status text counts only as the tool's
// first status line and the maker's name only as the first chain entry, each the whole
// line (or 1,023-byte piece of a longer one) but for blanks, however the report is cut
// into reads.
TEST(VerifyPackage, OnlyTheStatusLineAndTheSignersEntryCount)
{
    const std::string untrusted = "Status: signed by untrusted certificate", x1023(1023, 'x'),
                      other = "Developer ID Installer: Someone Else (AAAAAAAAAA)";
    const std::pair<std::string, int> rows[] = {
        {report(kStatus, kCert), 1},
        {"    1. " + kCert + "\n   " + kStatus + "\n", 1},  // signer before status
        {kStatus + "\n1. " + kCert, 1},                    // no blanks, no last newline
        {"\t" + kStatus + " \t \n \t1. " + kCert + "\t\n", 1},
        {x1023 + kStatus + std::string(2000, ' ') + "\n" + std::string(1023, ' ') + "1. " + kCert + "\n", 1},
        {std::string(1000, ' ') + kStatus + "\n1. " + kCert + "\n", 0},  // across a piece boundary
        {report(untrusted, kCert) + x1023 + kStatus + "\n", 0},          // after the status line
        {report(untrusted, kStatus + " " + kCert), 0},                   // both in one name
        {report(untrusted, kCert + "\n   " + kStatus), 0},               // line feed in the name
        {"   " + kStatus + "\n    1. " + other + "\n    2. " + kCert + "\n", 0},
        {report(kStatus, other + "\n    1. " + kCert), 0},
        {report(kStatus, other), 0},
        {report(kStatus + ".", kCert), 0},
        {report("x" + kStatus, kCert), 0},
        {report("Status: signed by a developer certificate issued by apple for distribution", kCert), 0},
        {report(kStatus, kCert + " (2)"), 0},
        {"   " + kStatus + std::string(1, '\0') + "x\n1. " + kCert + "\n", 0},
        {report("Status: no signature", kCert), 0},
        {"", 0},
    };
    PkgutilRoot root;
    for (const auto &[text, accepted] : rows)
        EXPECT_EQ(root.verify(text), accepted) << text;
}

TEST(VerifyPackage, PathReachesTheToolAsOneArgumentUnlessTooLongForTheOldCommandLine)
{
    PkgutilRoot root;
    std::string hostile = "/pkgs/a \"b\" $(touch " + root.file("pwned") + ") `touch " + root.file("pwned") +
                          "`; touch " + root.file("pwned") + " & 'q' \\ $HOME *";
    std::string fits = "/" + std::string(984, 'p');  // 38 bytes of command around it, 1,023 at most
    // path, report, accepted, whether the tool ran
    const std::tuple<std::string, std::string, int, bool> rows[] = {
        {hostile, report(kStatus, kCert), 1, true}, {fits, report(kStatus, kCert), 1, true},
        {fits + "p", report(kStatus, kCert), 0, false}, {"", report(kStatus, kCert), 1, true},
        {"", "Error: no package\n", 0, true}};
    for (const auto &[path, text, accepted, ran] : rows) {
        EXPECT_EQ(root.verify(text, path.c_str()), accepted) << path;
        EXPECT_EQ(root.read("args"), ran ? "--check-signature\n" + path + "\n" : "");
    }
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(verifyPackage(nullptr), 0);
    unlink(root.file("usr/sbin/pkgutil").c_str());
    EXPECT_EQ(root.verify(report(kStatus, kCert)), 0) << "no tool";
    root.write("usr/sbin/pkgutil", "echo '" + kStatus + "'\necho '1. " + kCert + "'\n", 0755);
    EXPECT_EQ(verifyPackage("/p.pkg"), 1) << "a script without \"#!\" is run by the shell";
}

// A fake root with kext tools that record their arguments, environment and stdout and then
// run `tail`, and a kextstat that prints the listing.
struct KextRoot : Root {
    explicit KextRoot(const std::string &tail = "exit 0\n")
    {
        for (std::string tool : {"kextload", "kextunload"})
            script("sbin/" + tool, "printf '%s\\n' \"$@\" > '@ROOT@/" + tool + ".args'\necho \"${BWV_PROBE-unset}\" $(readlink /proc/$$/fd/1) > '@ROOT@/" + tool + ".env'\n" + tail);
        script("usr/sbin/kextstat", "cat '@ROOT@/listing'\n");
        write("listing", "Index Refs Address Size Wired Name (Version) UUID <Linked Against>\n"
                         "  1  150 0 0 0 com.apple.kpi.bsd (19.6.0)\n"
                         "140  0 0xffffff7f8 0x9000 0x9000 com.tarvenel.bwv.nke (5.3.1) <7 5 4 3 1>\n");
        mkdirs(kLog.substr(0, kLog.rfind('/')));
    }
    bool logged_first(const std::string &kext) const { return read(kLog).rfind("load " + kext + "\n", 0) == 0; }
};

TEST(KextLoad, ToolGetsIdentifierOrPathWithNothingInheritedAndTheArgumentIsLoggedVerbatim)
{
    KextRoot root;
    setenv("BWV_PROBE", "inherited", 1);
    mode_t old = umask(0);
    EXPECT_EQ(ps_load_kext("com.tarvenel.bwv.nke", 1), 0);
    umask(old);
    unsetenv("BWV_PROBE");
    EXPECT_EQ(root.read("kextload.args"), "-b\ncom.tarvenel.bwv.nke\n");
    EXPECT_EQ(root.read("kextload.env"), "unset /dev/null\n");
    std::string log = root.read(kLog);
    EXPECT_TRUE(std::regex_search(log, std::regex("^load com.tarvenel.bwv.nke\n\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\S+ \\d{4}\n"))) << log;
    EXPECT_NE(log.find(root.read("listing")), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(root.file(kLog).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "whatever the umask";

    std::string hostile = "a\"; touch " + root.file("pwned") + "; echo \"$(id)`id`\\n";
    EXPECT_EQ(ps_load_kext(hostile.c_str(), 0), 0);
    EXPECT_EQ(root.read("kextload.args"), hostile + "\n");
    EXPECT_NE(root.read(kLog).find("\nload " + hostile + "\n"), std::string::npos) << "appended";
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(ps_load_kext(std::string(149, 'k').c_str(), 1), 0);
    EXPECT_EQ(root.read(kLog).find("load kkk"), std::string::npos) << "149 bytes never fitted the old command";

    // Past 10,000,000 bytes the log starts afresh.
    ASSERT_EQ(truncate(root.file(kLog).c_str(), 10000000), 0);
    ASSERT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
    EXPECT_FALSE(root.logged_first(std::string(148, 'k')));
    ASSERT_EQ(truncate(root.file(kLog).c_str(), 10000001), 0);
    ASSERT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
    EXPECT_TRUE(root.logged_first(std::string(148, 'k')));
}

TEST(KextUnload, ExitCodeIsPassedOnDeathBySignalGivesTwoAndLoadingStillLogs)
{
    const std::pair<const char *, int> rows[] = {{"exit 0\n", 0}, {"exit 3\n", 3}, {"kill -9 $$\n", 2}};
    for (const auto &[tail, code] : rows) {
        KextRoot root(tail);
        EXPECT_EQ(ps_unload_kext("/L/E/x.kext", 0), code) << tail;
        EXPECT_EQ(root.read("kextunload.args"), "/L/E/x.kext\n");
        EXPECT_FALSE(root.exists(kLog)) << "unloading writes no log";
        EXPECT_EQ(ps_load_kext("com.x", 1), 0) << tail;
        EXPECT_TRUE(root.logged_first("com.x"));
    }
    Root empty;
    EXPECT_EQ(ps_unload_kext("com.x", 1), 1) << "a tool that cannot be executed exits 1";
}

TEST(KextIsRun, NameIsSearchedAsFixedTextInTheListing)
{
    KextRoot root;
    std::string hostile = "x; touch " + root.file("pwned") + " #";
    const std::pair<const char *, int> rows[] = {
        {"com.tarvenel.bwv.nke", 1}, {"com.tarvenel.bwv", 1},   {"com.tarvenel.other", 0},
        {"com.tarvenel.bwv.nk.", 0}, {hostile.c_str(), 0}, {"", 0}, {nullptr, 0}};
    for (const auto &[name, running] : rows)
        EXPECT_EQ(ps_kext_is_run(name), running) << (name ? name : "null");
    EXPECT_FALSE(root.exists("pwned"));
    root.write("usr/sbin/kextstat", "echo ' 140 0 0x1 com.tarvenel.bwv.nke (5.3.1)'\n", 0755);
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 1) << "a script without \"#!\" is run by the shell";
}

// A fake root whose installer records its arguments and keeps what it was given.
struct InstallRoot : Root {
    InstallRoot()
    {
        script("usr/sbin/installer", "printf '%s\\n' \"$@\" > '@ROOT@/installer.args'\n[ -L \"$2\" ] && echo link > '@ROOT@/was_link'\n"
                                     "stat -c %a \"$2\" > '@ROOT@/mode'\ncat \"$2\" > '@ROOT@/installed'\n");
        mkdirs("tmp");
    }
    std::string package(const std::string &name, size_t len, const char *magic = "xar!")
    {
        return write(name, magic + bwv::test::read_file("/bin/sh").substr(0, len - 4));
    }
};

TEST(InstallPkg, OnlyFlatPackagesAreCopiedWholeForTheInstallerAndTheCopyIsRemoved)
{
    InstallRoot root;
    root.write("victim", "precious");
    // A link planted at the fixed name is replaced, not followed.
    ASSERT_EQ(symlink(root.file("victim").c_str(), root.file("tmp/bwv_upgrade.pkg").c_str()), 0);
    for (size_t len : {4097u, 4096u, 4u, 20000u}) {
        ASSERT_EQ(ps_install_pkg_file(root.package("in.pkg", len).c_str()), 0);
        EXPECT_TRUE(root.read("installed") == root.read("in.pkg")) << len;
        EXPECT_EQ(root.read("installer.args"), "-pkg\n" + root.file("tmp/bwv_upgrade.pkg") + "\n-target\n/\n");
        EXPECT_EQ(root.read("mode"), "600\n") << "readable by its owner alone";
        EXPECT_FALSE(root.exists("tmp/bwv_upgrade.pkg"));
    }
    EXPECT_EQ(root.read("victim"), "precious");
    EXPECT_FALSE(root.exists("was_link"));
    unlink(root.file("installer.args").c_str());
    // Not flat, too short, missing, a folder; then no place for the copy.
    for (const std::string &pkg : {root.package("bad.pkg", 4096, "xar?"), root.write("short.pkg", "xa"),
                                   root.file("missing.pkg"), root.path(), std::string()})
        EXPECT_EQ(ps_install_pkg_file(pkg.c_str()), -1) << pkg;
    EXPECT_EQ(ps_install_pkg_file(nullptr), -1);
    rmdir(root.file("tmp").c_str());
    EXPECT_EQ(ps_install_pkg_file(root.file("in.pkg").c_str()), -1);
    EXPECT_FALSE(root.exists("installer.args"));
}

}  // namespace
