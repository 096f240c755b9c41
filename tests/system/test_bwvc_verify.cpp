#include <gtest/gtest.h>

#include <bwvutil/bwvc.h>
#include <bwvutil/paths.h>
#include <bwvutil/verify.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/core/paths.hpp"
#include "support/bwvtest.hpp"

namespace {

namespace paths = bwv::paths;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;

const std::string kSupport(paths::kSupportDir);

const std::string kStatus = "Status: signed by a developer certificate issued by Apple for distribution";
const std::string kCert = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";

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
        {report(kStatus, other + "\n    1. " + kCert), 0}, {report(kStatus, other), 0},
        {report(kStatus + ".", kCert), 0}, {report("x" + kStatus, kCert), 0},
        {report("Status: signed by a developer certificate issued by apple for distribution", kCert), 0},
        {"   " + kStatus + std::string(1, '\0') + "x\n1. " + kCert + "\n", 0},
        {report(kStatus, kCert + " (2)"), 0}, {report("Status: no signature", kCert), 0}, {"", 0},
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

// A fake root whose console device belongs to uid (-1: there is none).
struct ConsoleRoot : Root {
    explicit ConsoleRoot(long uid)
    {
        if (uid >= 0 && chown(write("dev/console", "").c_str(), static_cast<uid_t>(uid), -1) != 0)
            ADD_FAILURE() << "cannot hand the console over";
    }
};

TEST(ConsoleUser, OwnerOfTheConsoleDecidesTheSupportFolderAndTheDocumentsCheck)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "handing the console to another user needs root";
    uid_t unknown = 54321;
    while (getpwuid(unknown))
        ++unknown;
    const struct passwd *nobody = getpwnam("nobody");  // whose home does not exist
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(bwvc_get_cur_support_dir(nullptr, 10), -1);
    // console owner (-1: no console), support folder ("": refused), Documents check
    const std::tuple<long, std::string, int> rows[] = {
        {unknown, "none" + kSupport, -2}, {nobody->pw_uid, nobody->pw_dir + kSupport, -3}, {0, "", -1}, {-1, "", -1}};
    for (const auto &[owner, support, access] : rows) {
        ConsoleRoot root(owner);
        EXPECT_EQ(bwvc_get_cur_uid(), owner < 0 ? 0u : static_cast<uint32_t>(owner));
        char buf[512] = "", ten[10] = "";
        EXPECT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), support.empty() ? -1 : 0);
        EXPECT_EQ(buf, support);
        bwvc_get_cur_support_dir(ten, sizeof ten);
        EXPECT_EQ(ten, support.substr(0, 9)) << "cut to the buffer";
        EXPECT_EQ(bwvc_check_user_file_accessibility(), access) << owner;
    }
}

TEST(ClientKind, VpnOnlyWhenTheToolFolderHoldsNoFullClientToolAndTrustFollowsItsMarker)
{
    Root root;
    EXPECT_EQ(is_vpn_client(), 0) << "no tool folder";
    std::string bin = std::string(paths::kBinDir).substr(1);
    root.write(bin + "/bwvupdate", "");
    EXPECT_EQ(is_vpn_client(), 1);
    for (const char *tool : {"ctlsvc", "monsvc", "bwvappguard", "ratingagent", "urlguard", "vulnprobe",
                             "ssoagent_launchagent"}) {
        std::string path = root.write(bin + "/" + tool, "");
        EXPECT_EQ(is_vpn_client(), 0) << tool;
        unlink(path.c_str());
    }
    EXPECT_EQ(bwvc_external_cert_trust(), 0);
    root.write(std::string(paths::kCertTrustMarker).substr(1), "");
    EXPECT_EQ(bwvc_external_cert_trust(), 1);
}

TEST(CredentialBypass, StartsClearAndOnceRaisedStaysRaised)
{
    EXPECT_EQ(bwvc_get_bypass_credential(), 0);
    bwvc_disable_credential();
    EXPECT_EQ(bwvc_get_bypass_credential(), 1);
    bwvc_disable_credential();
    EXPECT_EQ(bwvc_get_bypass_credential(), 1);
}

TEST(BinToHex, UpperCaseDigitsWithoutTerminatorAlsoInPlace)
{
    char buf[9] = "\x00\xAB\x7F#####";
    auto *in = reinterpret_cast<unsigned char *>(buf);
    bin_to_hex(in, buf, 3);  // in place
    bin_to_hex(in, buf, 0);
    bin_to_hex(nullptr, buf, 3);
    bin_to_hex(in, nullptr, 3);
    EXPECT_EQ(std::string(buf, 8), "00AB7F##");
}

TEST(Notice, EachNoticeIsOneConnectionFromTheSendersPathCarryingTheTextAndOneNul)
{
    ConsoleRoot root(geteuid());
    std::string uid = std::to_string(geteuid()), own_rel = "tmp/3f9c1e7a2d4b68e0c5a19f72b3d8e641_" + uid;
    std::string own = root.write(own_rel, "stale");  // no obstacle
    // The front end's end: a connection waits in the backlog, so it is accepted afterwards.
    sockaddr_un addr{AF_UNIX, {}};
    std::string gui = root.file("tmp/a72e5c09d1f43b86e2c7a5d90b1f3e28_" + uid);
    strncpy(addr.sun_path, gui.c_str(), sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(listen(fd, 8), 0);
    const std::pair<std::string, std::string> rows[] = {{"first notice", std::string("first notice\0", 13)},
                                                        {"", std::string(1, '\0')},
                                                        {std::string(5000, 'n'), std::string(4095, 'n') + '\0'}};
    for (const auto &[text, sent] : rows)
        bwvc_SendInfotoGUI(text.c_str());
    for (const auto &[text, sent] : rows) {
        socklen_t len = sizeof addr;
        int c = accept(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        char buf[8192];
        EXPECT_EQ(std::string(buf, std::max(recv(c, buf, sizeof buf, MSG_WAITALL), 0l)), sent);  // up to the end
        close(c);
        EXPECT_STREQ(addr.sun_path, own.c_str()) << "sent from the sender's own path";
    }
    close(fd);
    EXPECT_FALSE(root.exists(own_rel)) << "the sender's path is removed";

    unlink(gui.c_str());
    testing::internal::CaptureStderr();
    bwvc_SendInfotoGUI("nobody hears this");
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("connect: ", 0), 0u) << "printed";
    EXPECT_FALSE(root.exists(own_rel)) << "nor after a failure";
}

}  // namespace
