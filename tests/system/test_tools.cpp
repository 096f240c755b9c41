#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <string>

#include "sys_support.hpp"

namespace {

using bwv::test::TempRoot;

const std::string kStatus = "Status: signed by a developer certificate issued by Apple for distribution";
const std::string kCert = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";
const std::string kLogRel = "Library/Application Support/Tarvenel/BrindleWave/Logs/loadednkes.log";

// A fake root whose pkgutil records its arguments and prints the report file.
struct PkgutilRoot : TempRoot {
    PkgutilRoot()
    {
        script("usr/sbin/pkgutil", "printf '%s\\n' \"$@\" > '@ROOT@/args'\ncat '@ROOT@/report'\nexit 1\n");
        use_as_root();
    }
    int verify(const std::string &report, const std::string &pkg = "/pkgs/Install.mpkg")
    {
        write("report", report);
        return verifyPackage(pkg.c_str());
    }
    std::string args() const { return read("args"); }
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
    const std::string untrusted = "Status: signed by untrusted certificate";
    const std::string other = "Developer ID Installer: Someone Else (AAAAAAAAAA)";
    const std::string x1023(1023, 'x');
    std::string apple_off = kStatus;
    apple_off[apple_off.find("Apple")] = 'a';
    const struct {
        const char *what;
        std::string report;
        int accepted;
    } rows[] = {
        {"genuine report", report(kStatus, kCert), 1},
        {"signer before status", "    1. " + kCert + "\n   " + kStatus + "\n", 1},
        {"no blanks, no last newline", kStatus + "\n1. " + kCert, 1},
        {"tabs and trailing blanks", "\t" + kStatus + " \t \n \t1. " + kCert + "\t\n", 1},
        {"texts starting pieces of long lines", x1023 + kStatus + std::string(2000, ' ') + "\n" +
                                                    std::string(1023, ' ') + "1. " + kCert + "\n", 1},
        {"text across a piece boundary", std::string(1000, ' ') + kStatus + "\n1. " + kCert + "\n", 0},
        {"status after the status line", report(untrusted, kCert) + x1023 + kStatus + "\n", 0},
        {"both texts in one name", report(untrusted, kStatus + " " + kCert), 0},
        {"line feed in the name", report(untrusted, kCert + "\n   " + kStatus), 0},
        {"maker second only", "   " + kStatus + "\n    1. " + other + "\n    2. " + kCert + "\n", 0},
        {"maker in a later first entry", report(kStatus, other + "\n    1. " + kCert), 0},
        {"another signer", report(kStatus, other), 0},
        {"status with a suffix", report(kStatus + ".", kCert), 0},
        {"status with a prefix", report("x" + kStatus, kCert), 0},
        {"status differing in case", report(apple_off, kCert), 0},
        {"signer with a suffix", report(kStatus, kCert + " (2)"), 0},
        {"NUL inside the status line", "   " + kStatus + std::string(1, '\0') + "x\n1. " + kCert + "\n", 0},
        {"no signature", report("Status: no signature", kCert), 0},
        {"no report at all", "", 0},
    };
    PkgutilRoot root;
    for (const auto &row : rows)
        EXPECT_EQ(root.verify(row.report), row.accepted) << row.what;
    EXPECT_EQ(root.args(), "--check-signature\n/pkgs/Install.mpkg\n");
}

TEST(VerifyPackage, PathWithShellCharactersReachesTheToolAsOneArgument)
{
    PkgutilRoot root;
    std::string path = "/pkgs/a \"b\" $(touch " + root.file("pwned1") + ") `touch " + root.file("pwned2") +
                       "`; touch " + root.file("pwned3") + " & 'q' \\ $HOME *";
    EXPECT_EQ(root.verify(report(kStatus, kCert), path), 1);
    EXPECT_EQ(root.args(), "--check-signature\n" + path + "\n");
    EXPECT_FALSE(root.exists("pwned1"));
    EXPECT_FALSE(root.exists("pwned2"));
    EXPECT_FALSE(root.exists("pwned3"));
}

TEST(VerifyPackage, PathTooLongForTheOldCommandLineIsRefusedWithoutRunningTheTool)
{
    PkgutilRoot root;
    // 38 bytes of command around the path, 1,023 at most.
    std::string fits = "/" + std::string(984, 'p');
    EXPECT_EQ(root.verify(report(kStatus, kCert), fits), 1);
    unlink(root.file("args").c_str());
    EXPECT_EQ(root.verify(report(kStatus, kCert), fits + "p"), 0);
    EXPECT_FALSE(root.exists("args"));
    EXPECT_EQ(verifyPackage(nullptr), 0);
}

TEST(VerifyPackage, EmptyPathIsStillAskedOfTheTool)
{
    PkgutilRoot root;
    EXPECT_EQ(root.verify(report(kStatus, kCert), ""), 1);
    EXPECT_EQ(root.args(), "--check-signature\n\n");
    EXPECT_EQ(root.verify("Error: no package\n", ""), 0);
}

TEST(VerifyPackage, ToolScriptWithoutInterpreterLineIsRunByTheShell)
{
    TempRoot root;
    root.write("usr/sbin/pkgutil", "echo '" + kStatus + "'\necho '1. " + kCert + "'\n", 0755);
    root.use_as_root();
    EXPECT_EQ(verifyPackage("/pkgs/Install.mpkg"), 1);
}

TEST(VerifyPackage, MissingToolGivesZero)
{
    TempRoot root;
    root.use_as_root();
    EXPECT_EQ(verifyPackage("/pkgs/Install.mpkg"), 0);
}

// A fake root with recording kext tools and a kextstat listing.
struct KextRoot : TempRoot {
    explicit KextRoot(const std::string &load_tail = "exit 0\n", const std::string &listing_tail = "")
    {
        const char *record = "printf '%s\\n' \"$@\" > '@ROOT@/@TOOL@.args'\n"
                             "echo \"${BWV_PROBE-unset}\" > '@ROOT@/@TOOL@.env'\n"
                             "out=$(readlink /proc/$$/fd/1)\n"
                             "echo \"$out\" > '@ROOT@/@TOOL@.stdout'\n";
        for (const char *tool : {"kextload", "kextunload"}) {
            std::string body = record;
            for (size_t at; (at = body.find("@TOOL@")) != std::string::npos;)
                body.replace(at, 6, tool);
            script(std::string("sbin/") + tool, body + load_tail);
        }
        script("usr/sbin/kextstat", "cat '@ROOT@/listing'\n" + listing_tail);
        write("listing", "Index Refs Address Size Wired Name (Version) UUID <Linked Against>\n"
                         "  1  150 0 0 0 com.apple.kpi.bsd (19.6.0)\n"
                         "140  0 0xffffff7f8 0x9000 0x9000 com.tarvenel.bwv.nke (5.3.1) <7 5 4 3 1>\n");
        mkdirs("Library/Application Support/Tarvenel/BrindleWave/Logs");
        use_as_root();
    }
    std::string log() const { return read(kLogRel); }
};

TEST(KextLoad, ToolGetsIdentifierOrPathWithNothingInheritedAndEntryIsLogged)
{
    KextRoot root;
    setenv("BWV_PROBE", "inherited", 1);
    EXPECT_EQ(ps_load_kext("com.tarvenel.bwv.nke", 1), 0);
    EXPECT_EQ(root.read("kextload.args"), "-b\ncom.tarvenel.bwv.nke\n");
    EXPECT_EQ(root.read("kextload.env"), "unset\n") << "the environment is empty";
    EXPECT_EQ(root.read("kextload.stdout"), "/dev/null\n");

    std::string log = root.log();
    std::string head = "load com.tarvenel.bwv.nke\n";
    ASSERT_EQ(log.substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_search(log, std::regex("^load com.tarvenel.bwv.nke\n\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\S+ \\d{4}\n")))
        << log;
    EXPECT_NE(log.find(root.read("listing")), std::string::npos);

    EXPECT_EQ(ps_load_kext("/Library/Extensions/bwv.kext", 0), 0);
    EXPECT_EQ(root.read("kextload.args"), "/Library/Extensions/bwv.kext\n");
    EXPECT_NE(root.log().find("\nload /Library/Extensions/bwv.kext\n"), std::string::npos) << "appended";
    unsetenv("BWV_PROBE");
}

TEST(KextLoad, LogIsCreatedWritableByItsOwnerOnly)
{
    KextRoot root;
    mode_t old = umask(0);
    EXPECT_EQ(ps_load_kext("com.x", 1), 0);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(root.file(kLogRel).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(KextLoad, FailingOrKilledToolStillGivesZeroAndAnEntry)
{
    KextRoot failing("exit 3\n");
    EXPECT_EQ(ps_load_kext("com.x.failing", 1), 0);
    EXPECT_EQ(failing.log().rfind("load com.x.failing\n", 0), 0u);

    KextRoot killed("kill -9 $$\n");
    EXPECT_EQ(ps_load_kext("com.x.killed", 1), 0);
    EXPECT_EQ(killed.log().rfind("load com.x.killed\n", 0), 0u);
}

TEST(KextLoad, LogOfMoreThanTenMillionBytesStartsAfresh)
{
    KextRoot root;
    std::string log = root.file(kLogRel);
    ASSERT_EQ(truncate(root.write(kLogRel, "").c_str(), 10000000), 0);
    ASSERT_EQ(ps_load_kext("com.x.kept", 1), 0);
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 10000000) << "a log of exactly 10,000,000 bytes stays and grows";

    ASSERT_EQ(truncate(log.c_str(), 10000001), 0);
    ASSERT_EQ(ps_load_kext("com.x.fresh", 1), 0);
    EXPECT_EQ(root.log().rfind("load com.x.fresh\n", 0), 0u) << "deleted, then the new entry alone";
}

TEST(KextLoad, ArgumentIsLoggedVerbatimUpToTheOldCommandLength)
{
    KextRoot root;
    std::string hostile = "a\"; touch " + root.file("pwned") + "; echo \"$(id)`id`\\n";
    EXPECT_EQ(ps_load_kext(hostile.c_str(), 0), 0);
    EXPECT_EQ(root.log().rfind("load " + hostile + "\n", 0), 0u);
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(root.read("kextload.args"), hostile + "\n");

    unlink(root.file(kLogRel).c_str());
    EXPECT_EQ(ps_load_kext(std::string(149, 'k').c_str(), 1), 0);
    EXPECT_FALSE(root.exists(kLogRel)) << "149 bytes never fitted";
    EXPECT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
    EXPECT_EQ(root.log().rfind("load " + std::string(148, 'k') + "\n", 0), 0u);
}

TEST(KextUnload, ExitCodeIsPassedOnAndDeathBySignalGivesTwo)
{
    KextRoot ok;
    EXPECT_EQ(ps_unload_kext("com.x", 1), 0);
    EXPECT_EQ(ok.read("kextunload.args"), "-b\ncom.x\n");
    EXPECT_FALSE(ok.exists(kLogRel)) << "unloading writes no log";

    KextRoot three("exit 3\n");
    EXPECT_EQ(ps_unload_kext("/L/E/x.kext", 0), 3);
    EXPECT_EQ(three.read("kextunload.args"), "/L/E/x.kext\n");

    KextRoot killed("kill -9 $$\n");
    EXPECT_EQ(ps_unload_kext("com.x", 1), 2);

    TempRoot empty;
    empty.use_as_root();
    EXPECT_EQ(ps_unload_kext("com.x", 1), 1) << "a tool that cannot be executed exits 1";
}

TEST(KextIsRun, NameIsSearchedAsFixedTextInTheListing)
{
    KextRoot root("exit 0\n", "exit 1\n");
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 1);
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv"), 1) << "part of an identifier";
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.other"), 0);
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nk."), 0) << "fixed text, not a pattern";
    std::string hostile = "x; touch " + root.file("pwned") + " #";
    EXPECT_EQ(ps_kext_is_run(hostile.c_str()), 0);
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(ps_kext_is_run(""), 0);
    EXPECT_EQ(ps_kext_is_run(nullptr), 0);
}

TEST(KextIsRun, ListingToolThatDiesOrIsMissingGivesZero)
{
    KextRoot dying;
    dying.script("usr/sbin/kextstat", "kill -9 $$\n");
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 0);
    unlink(dying.file("usr/sbin/kextstat").c_str());
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 0);
}

TEST(KextIsRun, ListingScriptWithoutInterpreterLineIsRunByTheShell)
{
    KextRoot root;
    root.write("usr/sbin/kextstat", "echo ' 140 0 0x1 com.tarvenel.bwv.nke (5.3.1)'\n", 0755);
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 1);
}

// A fake root whose installer records its arguments and keeps what it was given.
struct InstallRoot : TempRoot {
    InstallRoot()
    {
        script("usr/sbin/installer", "printf '%s\\n' \"$@\" > '@ROOT@/installer.args'\n"
                                     "if [ -L \"$2\" ]; then echo link > '@ROOT@/was_link'; fi\n"
                                     "stat -c %a \"$2\" > '@ROOT@/mode'\n"
                                     "cat \"$2\" > '@ROOT@/installed'\n");
        mkdirs("tmp");
        use_as_root();
    }
    std::string package(const std::string &name, size_t len, const char *magic = "xar!")
    {
        std::mt19937 gen(static_cast<unsigned>(len));
        std::string bytes(len, '\0');
        for (auto &c : bytes)
            c = static_cast<char>(gen());
        bytes.replace(0, 4, magic, 4);
        return write(name, bytes);
    }
};

TEST(InstallPkg, FlatPackagesAreCopiedByteForByteAndTheCopyIsRemoved)
{
    InstallRoot root;
    for (size_t len : {4096u, 4097u, 4u, 1048576u + 3u}) {
        SCOPED_TRACE(len);
        std::string pkg = root.package("in.pkg", len);
        ASSERT_EQ(ps_install_pkg_file(pkg.c_str()), 0);
        EXPECT_EQ(root.read("installed"), TempRoot::slurp(pkg));
        EXPECT_EQ(root.read("installer.args"), "-pkg\n" + root.file("tmp/bwv_upgrade.pkg") + "\n-target\n/\n");
        EXPECT_EQ(root.read("mode"), "600\n") << "readable by its owner alone";
        EXPECT_FALSE(root.exists("tmp/bwv_upgrade.pkg"));
    }
}

TEST(InstallPkg, PlantedLinkIsReplacedNotFollowed)
{
    InstallRoot root;
    root.write("victim", "precious");
    ASSERT_EQ(symlink(root.file("victim").c_str(), root.file("tmp/bwv_upgrade.pkg").c_str()), 0);
    std::string pkg = root.package("in.pkg", 5000);
    ASSERT_EQ(ps_install_pkg_file(pkg.c_str()), 0);
    EXPECT_EQ(root.read("victim"), "precious");
    EXPECT_FALSE(root.exists("was_link"));
    EXPECT_EQ(root.read("installed"), TempRoot::slurp(pkg));
    EXPECT_FALSE(root.exists("tmp/bwv_upgrade.pkg"));
}

TEST(InstallPkg, NonFlatUnreadableOrUncopyablePackagesAreRefusedWithoutInstalling)
{
    InstallRoot root;
    // Not flat, too short, missing, a folder.
    for (const std::string &pkg : {root.package("bad.pkg", 4096, "xar?"), root.write("short.pkg", "xa"),
                                   root.file("missing.pkg"), root.path()})
        EXPECT_EQ(ps_install_pkg_file(pkg.c_str()), -1) << pkg;
    EXPECT_EQ(ps_install_pkg_file(nullptr), -1);
    std::string pkg = root.package("good.pkg", 100);
    rmdir(root.file("tmp").c_str());
    EXPECT_EQ(ps_install_pkg_file(pkg.c_str()), -1) << "no place for the copy";
    EXPECT_FALSE(root.exists("installer.args"));
}

}  // namespace
