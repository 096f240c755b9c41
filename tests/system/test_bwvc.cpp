#include <gtest/gtest.h>

#include <bwvutil/bwvc.h>

#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sys_support.hpp"

namespace {

using bwv::test::TempRoot;

const std::string kSupport = "/Library/Application Support/Tarvenel/BrindleWave";

// A fake root whose console device belongs to uid (only root can hand it to another user).
struct ConsoleRoot : TempRoot {
    explicit ConsoleRoot(uid_t uid)
    {
        std::string console = write("dev/console", "");
        if (uid != geteuid() && chown(console.c_str(), uid, static_cast<gid_t>(-1)) != 0)
            skip = true;
        use_as_root();
    }
    bool skip = false;
};

// A uid the password database does not know.
uid_t unknown_uid()
{
    for (uid_t uid = 54321;; ++uid)
        if (!getpwuid(uid))
            return uid;
}

std::string home_of(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_dir : "none";
}

TEST(ConsoleUser, IsTheOwnerOfTheConsoleDeviceOrZero)
{
    ConsoleRoot root(4242);
    if (root.skip)
        GTEST_SKIP() << "handing the console to another user needs root";
    EXPECT_EQ(bwvc_get_cur_uid(), 4242u);
    unlink(root.file("dev/console").c_str());
    EXPECT_EQ(bwvc_get_cur_uid(), 0u) << "a console that cannot be examined";
}

TEST(ConsoleUser, SupportFolderUsesTheConsoleUsersHomeOrNone)
{
    uid_t known = geteuid() != 0 ? geteuid() : getpwnam("nobody") ? getpwnam("nobody")->pw_uid : 65534;
    ConsoleRoot root(known);
    if (root.skip)
        GTEST_SKIP();
    char buf[4096];
    ASSERT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), home_of(known) + kSupport);

    char ten[10];
    ASSERT_EQ(bwvc_get_cur_support_dir(ten, sizeof ten), 0);
    EXPECT_EQ(std::string(ten), (home_of(known) + kSupport).substr(0, 9));

    EXPECT_EQ(bwvc_get_cur_support_dir(nullptr, 10), -1);
    EXPECT_EQ(bwvc_get_cur_support_dir(buf, 0), -1);
}

TEST(ConsoleUser, UserWithoutPasswordEntryHasNoneForHome)
{
    ConsoleRoot root(unknown_uid());
    if (root.skip)
        GTEST_SKIP() << "needs root";
    char buf[512];
    ASSERT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), "none" + kSupport);
    EXPECT_EQ(bwvc_check_user_file_accessibility(), -2);
}

TEST(ConsoleUser, RootAtTheConsoleCountsAsNoUser)
{
    ConsoleRoot root(0);
    if (root.skip)
        GTEST_SKIP() << "needs root";
    char buf[512];
    EXPECT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), -1);
    EXPECT_EQ(bwvc_check_user_file_accessibility(), -1);
}

TEST(ConsoleUser, DocumentsThatCannotBeOpenedGiveMinusThree)
{
    // "nobody" has a home folder that does not exist.
    struct passwd *nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody";
    std::string docs = std::string(nobody->pw_dir) + "/Documents";
    if (access(docs.c_str(), F_OK) == 0)
        GTEST_SKIP() << docs << " exists here";
    ConsoleRoot root(nobody->pw_uid);
    if (root.skip)
        GTEST_SKIP() << "needs root";
    EXPECT_EQ(bwvc_check_user_file_accessibility(), -3);
}

// A user other than root whose home folder exists and is not "/", so that a private
// mount can stand in for it.
const struct passwd *user_with_home()
{
    for (const char *name : {"daemon", "bin", "man", "www-data", "backup"}) {
        const struct passwd *pw = getpwnam(name);
        struct stat st {};
        if (pw && pw->pw_uid != 0 && pw->pw_dir && strcmp(pw->pw_dir, "/") != 0 &&
            stat(pw->pw_dir, &st) == 0 && S_ISDIR(st.st_mode))
            return pw;
    }
    return nullptr;
}

TEST(ConsoleUser, DocumentsClosedByPermissionBitsAreAnOtherFailure)
{
    // Only EPERM (the privacy guard) means "refused"; a folder whose mode shuts this
    // process out answers EACCES and is any other failure.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const struct passwd *pw = user_with_home();
    if (!pw)
        GTEST_SKIP() << "no user with a home folder";
    uid_t uid = pw->pw_uid;
    std::string home = pw->pw_dir;
    ConsoleRoot root(uid);
    ASSERT_FALSE(root.skip);
    std::string stand_in = root.mkdirs("home");
    ASSERT_EQ(mkdir((stand_in + "/Documents").c_str(), 0700), 0);

    constexpr int kCannotIsolate = 99;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The user's real home is covered only inside this child's own mount namespace.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(stand_in.c_str(), home.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(kCannotIsolate);
        // The user must reach the fake console and the home, not the Documents inside.
        if (chmod(root.path().c_str(), 0755) != 0 || chmod(stand_in.c_str(), 0755) != 0 || seteuid(uid) != 0)
            _exit(kCannotIsolate);
        _exit(bwvc_check_user_file_accessibility() + 10);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannotIsolate)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status) - 10, -3);
}

bool has_login()
{
    char name[256];
    return getlogin_r(name, sizeof name) == 0 && name[0];
}

TEST(ClientPaths, CurrentUserPathsOrTheSystemOnesForADaemon)
{
    TempRoot root;
    root.use_as_root();
    char support[4096], logs[4096], prefs[4096];
    ASSERT_EQ(bwvc_get_support_dir(support, sizeof support), 0);
    ASSERT_EQ(bwvc_get_user_dir(logs, sizeof logs), 0);
    ASSERT_EQ(bwvc_get_preference_path(prefs, sizeof prefs), 0);
    if (has_login()) {
        std::string home = home_of(geteuid());
        EXPECT_EQ(std::string(support), home + kSupport);
        EXPECT_EQ(std::string(logs), home + "/Library/Logs/BrindleWave");
        EXPECT_EQ(std::string(prefs), home + "/Library/Preferences/" BWV_PREFERENCES_ID ".plist");
    } else {
        EXPECT_EQ(std::string(support), root.path() + kSupport);
        EXPECT_EQ(std::string(logs), root.path() + kSupport) << "a daemon logs under the support folder";
        EXPECT_EQ(std::string(prefs), root.path() + "/Library/Preferences/" BWV_PREFERENCES_ID ".plist");
    }
    char ten[10];
    ASSERT_EQ(bwvc_get_support_dir(ten, sizeof ten), 0);
    EXPECT_EQ(std::string(ten), std::string(support).substr(0, 9));

    for (auto fn : {bwvc_get_support_dir, bwvc_get_user_dir, bwvc_get_preference_path}) {
        EXPECT_EQ(fn(nullptr, 100), -1);
        EXPECT_EQ(fn(support, 0), -1);
        EXPECT_EQ(fn(support, -5), -1);
    }
}

TEST(ClientKind, VpnOnlyWhenTheToolFolderHoldsNoFullClientTool)
{
    TempRoot root;
    root.use_as_root();
    EXPECT_EQ(is_vpn_client(), 0) << "no tool folder";
    std::string bin = root.mkdirs("Library/Application Support/Tarvenel/BrindleWave/bin");
    root.write("Library/Application Support/Tarvenel/BrindleWave/bin/bwvupdate", "");
    EXPECT_EQ(is_vpn_client(), 1);
    for (const char *tool :
         {"ctlsvc", "monsvc", "bwvappguard", "ratingagent", "urlguard", "vulnprobe", "ssoagent_launchagent"}) {
        SCOPED_TRACE(tool);
        std::string path = bin + "/" + tool;
        root.write(path.substr(root.path().size() + 1), "");
        EXPECT_EQ(is_vpn_client(), 0);
        unlink(path.c_str());
    }
    EXPECT_EQ(is_vpn_client(), 1);
    EXPECT_EQ(is_dev_build(), 0);
}

TEST(ClientKind, CertificateTrustFollowsTheMarkerFile)
{
    TempRoot root;
    root.use_as_root();
    EXPECT_EQ(bwvc_external_cert_trust(), 0);
    root.write("Library/Application Support/Tarvenel/BrindleWave/data/external_cert_trust", "");
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
    const unsigned char in[] = {0x00, 0xAB, 0x7F};
    char out[8];
    memset(out, '#', sizeof out);
    bin_to_hex(in, out, 3);
    EXPECT_EQ(std::string(out, 8), "00AB7F##");

    std::array<unsigned char, 512> buf{};
    for (int i = 0; i < 256; ++i)
        buf[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    bin_to_hex(buf.data(), reinterpret_cast<char *>(buf.data()), 256);
    for (int i = 0; i < 256; ++i) {
        char expected[3];
        snprintf(expected, sizeof expected, "%02X", i);
        ASSERT_EQ(std::string(reinterpret_cast<char *>(&buf[static_cast<size_t>(2 * i)]), 2), expected) << i;
    }

    memset(out, '#', sizeof out);
    bin_to_hex(in, out, 0);
    bin_to_hex(nullptr, out, 3);
    bin_to_hex(in, nullptr, 3);
    EXPECT_EQ(std::string(out, 8), "########");
}

// The front end's end of the notice socket, accepting in a thread of its own.
class FrontEnd {
public:
    struct Notice {
        std::string peer;
        std::string bytes;
    };

    FrontEnd(const std::string &path, int expected) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
        EXPECT_EQ(listen(fd_, 8), 0);
        thread_ = std::thread([this, expected] { serve(expected); });
    }
    ~FrontEnd()
    {
        if (thread_.joinable())
            thread_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    const std::vector<Notice> &received()
    {
        if (thread_.joinable())
            thread_.join();
        return notices_;
    }

private:
    void serve(int expected)
    {
        for (int i = 0; i < expected; ++i) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                return;
            sockaddr_un peer{};
            socklen_t len = sizeof peer;
            int c = accept(fd_, reinterpret_cast<sockaddr *>(&peer), &len);
            if (c < 0)
                return;
            Notice n;
            n.peer = peer.sun_path;
            char buf[8192];
            ssize_t got;
            while ((got = read(c, buf, sizeof buf)) > 0)
                n.bytes.append(buf, static_cast<size_t>(got));
            close(c);
            notices_.push_back(n);
        }
    }

    std::string path_;
    int fd_ = -1;
    std::thread thread_;
    std::vector<Notice> notices_;
};

const std::string kGuiSocket = "tmp/a72e5c09d1f43b86e2c7a5d90b1f3e28_";
const std::string kOwnSocket = "tmp/3f9c1e7a2d4b68e0c5a19f72b3d8e641_";

TEST(Notice, EachNoticeIsOneConnectionCarryingTheTextAndOneNul)
{
    ConsoleRoot root(geteuid());
    root.mkdirs("tmp");
    std::string uid = std::to_string(geteuid());
    FrontEnd gui(root.file(kGuiSocket + uid), 3);
    // A stale socket file from an earlier sender is no obstacle.
    root.write(kOwnSocket + uid, "stale");
    bwvc_SendInfotoGUI("first notice");
    bwvc_SendInfotoGUI("");
    bwvc_SendInfotoGUI(std::string(5000, 'n').c_str());
    const auto &got = gui.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes, std::string("first notice\0", 13));
    EXPECT_EQ(got[1].bytes, std::string(1, '\0'));
    EXPECT_EQ(got[2].bytes, std::string(4095, 'n') + '\0') << "cut to 4,095 bytes";
    for (const auto &n : got)
        EXPECT_EQ(n.peer, root.file(kOwnSocket + uid)) << "sent from the sender's own path";
    EXPECT_FALSE(root.exists(kOwnSocket + uid)) << "the sender's path is removed";
}

TEST(Notice, RootAtTheConsoleUsesPathsEndingInZero)
{
    ConsoleRoot root(0);
    if (root.skip)
        GTEST_SKIP() << "needs root";
    root.mkdirs("tmp");
    FrontEnd gui(root.file(kGuiSocket + "0"), 1);
    bwvc_SendInfotoGUI("to root");
    ASSERT_EQ(gui.received().size(), 1u);
    EXPECT_EQ(gui.received()[0].peer, root.file(kOwnSocket + "0"));
}

TEST(Notice, WithoutListenerTheNoticeIsDroppedAndNoSocketFileStays)
{
    ConsoleRoot root(geteuid());
    root.mkdirs("tmp");
    testing::internal::CaptureStderr();
    bwvc_SendInfotoGUI("nobody hears this");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("connect: ", 0), 0u) << err;
    EXPECT_FALSE(root.exists(kOwnSocket + std::to_string(geteuid())));

    // No folder to bind in: the failure is printed and nothing is left either.
    rmdir(root.file("tmp").c_str());
    testing::internal::CaptureStderr();
    bwvc_SendInfotoGUI("still nobody");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("bind: ", 0), 0u) << err;
}

}  // namespace
