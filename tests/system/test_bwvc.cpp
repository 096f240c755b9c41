#include <gtest/gtest.h>

#include <bwvutil/bwvc.h>
#include <bwvutil/paths.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/core/paths.hpp"
#include "support/bwvtest.hpp"

namespace {

namespace paths = bwv::paths;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;

const std::string kSupport(paths::kSupportDir);

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
    const struct {
        long owner;
        std::string support;  // "": refused
        int access;
    } rows[] = {{unknown, "none" + kSupport, -2}, {nobody->pw_uid, nobody->pw_dir + kSupport, -3}, {0, "", -1}, {-1, "", -1}};
    for (const auto &r : rows) {
        ConsoleRoot root(r.owner);
        EXPECT_EQ(bwvc_get_cur_uid(), r.owner < 0 ? 0u : static_cast<uint32_t>(r.owner));
        char buf[512] = "", ten[10] = "";
        EXPECT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), r.support.empty() ? -1 : 0);
        EXPECT_EQ(buf, r.support);
        bwvc_get_cur_support_dir(ten, sizeof ten);
        EXPECT_EQ(ten, r.support.substr(0, 9)) << "cut to the buffer";
        EXPECT_EQ(bwvc_get_cur_support_dir(nullptr, 10), -1);
        EXPECT_EQ(bwvc_get_cur_support_dir(buf, 0), -1);
        EXPECT_EQ(bwvc_check_user_file_accessibility(), r.access) << r.owner;
    }
}

TEST(ClientPaths, CurrentUserPathsOrTheSystemOnesForADaemon)
{
    Root root;
    char login[256];
    bool daemon = getlogin_r(login, sizeof login) != 0 || !login[0];
    std::string home = daemon ? root.path() : getpwuid(geteuid())->pw_dir;
    const std::string prefs = "/Library/Preferences/" BWV_PREFERENCES_ID ".plist";
    const std::pair<int (*)(char *, int), std::string> rows[] = {
        {bwvc_get_support_dir, home + kSupport},
        {bwvc_get_user_dir, daemon ? home + kSupport : home + "/Library/Logs/BrindleWave"},
        {bwvc_get_preference_path, home + prefs}};
    for (const auto &[fn, expected] : rows) {
        char buf[4096], ten[10];
        ASSERT_EQ(fn(buf, sizeof buf), 0);
        EXPECT_EQ(buf, expected);
        ASSERT_EQ(fn(ten, sizeof ten), 0);
        EXPECT_EQ(ten, expected.substr(0, 9));
        for (int size : {0, -5})
            EXPECT_EQ(fn(buf, size), -1);
        EXPECT_EQ(fn(nullptr, 100), -1);
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
    EXPECT_EQ(is_dev_build(), 0);
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
    bin_to_hex(reinterpret_cast<unsigned char *>(buf), buf, 3);
    EXPECT_EQ(std::string(buf, 8), "00AB7F##");
    bin_to_hex(reinterpret_cast<const unsigned char *>("x"), buf, 0);
    bin_to_hex(nullptr, buf, 3);
    bin_to_hex(reinterpret_cast<const unsigned char *>("x"), nullptr, 3);
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
        std::string got;
        for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        close(c);
        EXPECT_EQ(got, sent);
        EXPECT_STREQ(addr.sun_path, own.c_str()) << "sent from the sender's own path";
    }
    close(fd);
    EXPECT_FALSE(root.exists(own_rel)) << "the sender's path is removed";

    // Without a listener, or without a folder to bind in, the failure is printed and no
    // socket file stays.
    unlink(gui.c_str());
    for (const char *failure : {"connect: ", "bind: "}) {
        testing::internal::CaptureStderr();
        bwvc_SendInfotoGUI("nobody hears this");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(failure, 0), 0u) << err;
        EXPECT_FALSE(root.exists(own_rel));
        bwv::test::remove_tree(root.file("tmp"));
    }
}

}  // namespace
