// The installer's controller in-process: start-up in each run mode, the check and
// download polls against a scripted update library, and every installation path against
// fake tools in a private root.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <qpa/qwindowsysteminterface.h>

#include <bwvutil/paths.h>
#include <bwvutil/ps_utils.h>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "app/AppController.h"
#include "platform/qt/alert.hpp"
#include "platform/qt/log.hpp"
#include "tests/app/ControllerFixture.h"
#include "tests/app/UpdateLibraryDouble.h"

using bwv::platform::AlertRequest;

using namespace app_test;

class AppControllerTest : public QObject, ControllerFixture {
    Q_OBJECT

    std::unique_ptr<bwv::test::TempRoot> rootDir_;
    QString root_;
    std::optional<ScopedEnv> tmpdir_;
    QProcess agent_;
    upd_result downloadedRecord_{};

    QString userTmp() const { return root_ + QStringLiteral("/usertmp/"); }
    QString downloadDir() const { return userTmp() + QStringLiteral("bwvupdate"); }
    QString imagePath() const { return downloadDir() + QStringLiteral("/BrindleWave-7.5.0.dmg"); }
    QString log(const char *name) const { return readFile(root_ + QLatin1Char('/') + QLatin1String(name)); }

    void installUpdateTool() {
        writeFile(root_ + kSupportDir + QStringLiteral("/bin/bwvupdate"), "#!/bin/sh\nexit 0\n", true);
    }
    void writeInstalledVersion(const QByteArray &content, const QString &folder = QStringLiteral("/conf")) {
        writeFile(root_ + kSupportDir + folder + QStringLiteral("/bwvinfo"), content);
    }

    void removeInstalledVersion() {
        QFile::remove(root_ + kSupportDir + QStringLiteral("/conf/bwvinfo"));
        QFile::remove(root_ + kSupportDir + QStringLiteral("/bwvinfo"));
    }

    // hdiutil: attach copies the prepared image folder to the mount point and answers the
    // way the tool does; it records its arguments and the confirmation it was given.
    void installHdiutil() {
        QByteArray script =
            "#!/bin/sh\n"
            "root='" + root_.toUtf8() + "'\n"
            "echo \"$*\" >> \"$root/hdiutil.log\"\n"
            "case \"$1\" in\n"
            "attach)\n"
            "  IFS= read -r answer || answer='(none)'\n"
            "  echo \"input:$answer\" >> \"$root/hdiutil.log\"\n"
            "  [ -e \"$root/attach-fails\" ] && { echo 'hdiutil: attach failed' >&2; exit 1; }\n"
            "  cp -R \"$root/image/.\" \"$4/\" || exit 1\n"
            "  printf '/dev/disk9s1\\tApple_HFS\\t%s\\n' \"$4\" ;;\n"
            "detach)\n"
            "  rm -rf \"$2\"/* ;;\n"
            "esac\n";
        writeFile(root_ + QStringLiteral("/usr/bin/hdiutil"), script, true);
    }

    // pkgutil: signs every existing package as the maker, except paths that start with the
    // prefix written to "reject".
    void installPkgutil() {
        QByteArray script =
            "#!/bin/sh\n"
            "root='" + root_.toUtf8() + "'\n"
            "pkg=\"$2\"\n"
            "echo \"$pkg\" >> \"$root/pkgutil.log\"\n"
            "echo \"Package \\\"$(basename \"$pkg\")\\\":\"\n"
            "if [ -e \"$root/reject\" ]; then\n"
            "  case \"$pkg\" in \"$(cat \"$root/reject\")\"*) echo '   Status: no signature'; exit 1 ;; esac\n"
            "fi\n"
            "[ -e \"$pkg\" ] || { echo '   Status: no signature'; exit 1; }\n"
            "echo '   Status: signed by a developer certificate issued by Apple for distribution'\n"
            "echo '   Certificate Chain:'\n"
            "echo '    1. Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)'\n";
        writeFile(root_ + QStringLiteral("/usr/sbin/pkgutil"), script, true);
    }

    void installOpen() {
        writeFile(root_ + QStringLiteral("/usr/bin/open"),
                  "#!/bin/sh\necho \"$*\" >> '" + root_.toUtf8() + "/open.log'\necho opened\n", true);
    }

    // The downloaded image and what appears when it is attached.
    void prepareImage(bool withPackage = true) {
        writeFile(imagePath(), "not really a disk image");
        if (withPackage) {
            writeFile(root_ + QStringLiteral("/image/Install.mpkg/Contents/Info.plist"), "<plist/>");
            writeFile(root_ + QStringLiteral("/image/Install.mpkg/Contents/Packages/client.pkg"), "payload");
        }
        writeFile(root_ + QStringLiteral("/image/ReadMe.txt"), "read me");
        downloadedRecord_ = upd_double::downloaded(imagePath().toUtf8().constData(), "7.5.0");
        upret = &downloadedRecord_;
    }

    void startAgent() {
        const QString exe = root_ + QStringLiteral("/agent/BrindleWaveAgent");
        QDir().mkpath(QFileInfo(exe).absolutePath());
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
        agent_.start(exe, {QStringLiteral("120")});
        QVERIFY(agent_.waitForStarted());
        QTRY_VERIFY(ps_get_pid("BrindleWaveAgent") > 0);
    }

    void stopAgent() {
        if (agent_.state() != QProcess::NotRunning) {
            agent_.kill();
            agent_.waitForFinished();
        }
    }

    void start(const QStringList &modeArgs = {}, const QString &bundle = {}) {
        if (!bundle.isEmpty()) c_->bundlePath = QStringLiteral("/Applications/") + bundle;
        c_->arguments << modeArgs;
        c_->awakeFromNib();
    }

private slots:
    void init() {
        rootDir_ = std::make_unique<bwv::test::TempRoot>();
        QVERIFY(rootDir_->isValid());
        root_ = rootDir_->path();
        QDir().mkpath(root_ + QStringLiteral("/tmp"));
        QDir().mkpath(userTmp());
        tmpdir_.emplace("TMPDIR", userTmp().toUtf8());

        autoCheckMode = false;
        upgradeMode = false;
        upret = nullptr;
        bwvShutdownCancel = false;
        timecounter = 0;
        upd_double::reset();

        // An installed client that may be replaced while it runs, so that an agent process
        // another test starts alongside never blocks an installation here.
        writeInstalledVersion("version=6.0.0\n");

        startRecording();
        openController();
    }

    void cleanup() {
        stopAgent();
        // Detaches run unwaited; let them finish before the root goes away under them.
        const bool attachFails = QFileInfo::exists(root_ + QStringLiteral("/attach-fails"));
        QTRY_COMPARE(log("hdiutil.log").count(QStringLiteral("detach ")),
                     attachFails ? 0 : static_cast<int>(log("hdiutil.log").count(QStringLiteral("attach "))));
        closeController();
        stopRecording();
        std::signal(SIGTERM, SIG_DFL);
        tmpdir_.reset();
        rootDir_.reset();
    }

    void theWindowStartsAsTheFlowsAssume() {
        QVERIFY(!window_->isVisible());
        QVERIFY(!c_->btnCancel->isHidden());
        QVERIFY(c_->btnDownload->isHidden());
        QVERIFY(c_->btnInstall->isHidden());
        QVERIFY(c_->piCheckProgress.isIndeterminate());
        QVERIFY(!c_->piCheckProgress.isAnimating());
        QCOMPARE(c_->tfNotice->text(), QString());
        QVERIFY(c_->applicationShouldTerminateAfterLastWindowClosed());
    }

    void theCancelButtonEndsTheApplication() {
        c_->btnCancel->click();
        QCOMPARE(c_->terminations, 1);
    }

    void lightInstallerModeDownloadsAtOnceWithTheWindowFloating() {
        QDir().mkpath(downloadDir() + QStringLiteral("/old"));
        // Links inside the old work folder go with it; what they point at stays.
        const QString precious = root_ + QStringLiteral("/precious/file");
        writeFile(precious, "mine");
        QVERIFY(QFile::link(precious, downloadDir() + QStringLiteral("/old/file-link")));
        QVERIFY(QFile::link(QFileInfo(precious).path(), downloadDir() + QStringLiteral("/old/folder-link")));
        start();
        QVERIFY(QFileInfo(precious).isFile());
        QVERIFY(!autoCheckMode);
        QVERIFY(!upgradeMode);
        QCOMPARE(upd_double::calls(),
                 (std::vector<std::string>{"load_providers", "set_full_version",
                                           "upd_init " + downloadDir().toStdString(), "request 8",
                                           "request 4"}));
        QVERIFY(!QFileInfo::exists(downloadDir()));
        QVERIFY(window_->isVisible());
        QCOMPARE(bwv::platform::windowLevel(window_.get()), bwv::platform::kFloatingWindowLevel);
        QCOMPARE(window_->windowTitle(), QStringLiteral("BrindleWave"));
        QCOMPARE(c_->isVPN, 0);
        QVERIFY(c_->btnCancel->isHidden());
        QVERIFY(c_->btnDownload->isHidden());
        QVERIFY(!c_->piCheckProgress.isIndeterminate());
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading BrindleWave "));
        struct sigaction sa {};
        sigaction(SIGTERM, nullptr, &sa);
        QVERIFY(sa.sa_handler == SIG_IGN);
        QCOMPARE(c_->exitStatus, -1);
    }

    void anOldWorkFolderNotTheUsersAloneIsLeftForTheLibraryToRefuse_data() {
        QTest::addColumn<bool>("foreign");
        QTest::newRow("others may write") << false;
        QTest::newRow("another account's") << true;
    }
    void anOldWorkFolderNotTheUsersAloneIsLeftForTheLibraryToRefuse() {
        QFETCH(bool, foreign);
        if (foreign && ::geteuid() != 0) QSKIP("needs root to give a folder to another account");
        const QString planted = downloadDir() + QStringLiteral("/planted");
        QDir().mkpath(planted);
        const QByteArray dir = QFile::encodeName(downloadDir());
        QVERIFY(foreign ? ::chown(dir.constData(), 54321, 54321) == 0 : ::chmod(dir.constData(), 0777) == 0);
        start();
        QVERIFY(QFileInfo(planted).isDir());
        QCOMPARE(upd_double::calls().at(2), "upd_init " + downloadDir().toStdString());
    }

    void theModeArgumentsAreFoundAnywhereAndTheFirstOneWins_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("autoCheck");
        QTest::addColumn<bool>("upgrade");
        QTest::newRow("auto-check") << QStringList{QStringLiteral("AutoCheckMode")} << true << false;
        QTest::newRow("upgrade") << QStringList{QStringLiteral("upgradeMode")} << false << true;
        QTest::newRow("upgrade then auto-check")
            << QStringList{QStringLiteral("upgradeMode"), QStringLiteral("AutoCheckMode")} << false << true;
        QTest::newRow("auto-check then upgrade")
            << QStringList{QStringLiteral("AutoCheckMode"), QStringLiteral("upgradeMode")} << true << false;
        QTest::newRow("after other arguments")
            << QStringList{QStringLiteral("-psn_0_1234"), QStringLiteral("upgradeMode")} << false << true;
        QTest::newRow("letter case differs")
            << QStringList{QStringLiteral("autocheckmode"), QStringLiteral("UpgradeMode")} << false << false;
    }
    void theModeArgumentsAreFoundAnywhereAndTheFirstOneWins() {
        QFETCH(QStringList, args);
        QFETCH(bool, autoCheck);
        QFETCH(bool, upgrade);
        installUpdateTool();
        upd_double::scriptPolls({upd_double::running()});
        start(args);
        QCOMPARE(autoCheckMode, autoCheck);
        QCOMPARE(upgradeMode, upgrade);
        const bool light = !autoCheck && !upgrade;
        QCOMPARE(upd_double::requests(), light ? (std::vector<int>{8, 4}) : (std::vector<int>{1, 4}));
        QCOMPARE(window_->isVisible(), !autoCheck);
    }

    void theProgramPathCountsAsAnArgument() {
        installUpdateTool();
        c_->arguments = {QStringLiteral("upgradeMode")};
        c_->awakeFromNib();
        QVERIFY(upgradeMode);
    }

    void aModeWithoutTheUpdateToolEndsSilently_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("toolPresentButNotExecutable");
        QTest::newRow("auto-check, no tool") << QStringLiteral("AutoCheckMode") << false;
        QTest::newRow("upgrade, no tool") << QStringLiteral("upgradeMode") << false;
        QTest::newRow("upgrade, tool not executable") << QStringLiteral("upgradeMode") << true;
    }
    void aModeWithoutTheUpdateToolEndsSilently() {
        QFETCH(QString, mode);
        QFETCH(bool, toolPresentButNotExecutable);
        if (toolPresentButNotExecutable)
            writeFile(root_ + kSupportDir + QStringLiteral("/bin/bwvupdate"), "#!/bin/sh\n");
        start({mode});
        QCOMPARE(c_->exitStatus, 0);
        QVERIFY(!window_->isVisible());
        QCOMPARE(upd_double::calls(), (std::vector<std::string>{"load_providers", "set_full_version"}));
        QVERIFY(sink_->lines.isEmpty());
        QVERIFY(presenter_->alerts.empty());
    }

    void lightInstallerModeNeedsNoUpdateTool() {
        start();
        QCOMPARE(c_->exitStatus, -1);
        QCOMPARE(upd_double::requests(), (std::vector<int>{8, 4}));
    }

    void theBundleNameDecidesFullOrVpnOnly_data() {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("full");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("isVPN");
        QTest::newRow("full, light") << QStringLiteral("BrindleWaveFullInstaller.app") << QString() << true
                                     << QStringLiteral("BrindleWave") << 0;
        QTest::newRow("vpn, light") << QStringLiteral("BrindleWaveInstaller.app") << QString() << false
                                    << QStringLiteral("BrindleWave VPN") << 1;
        QTest::newRow("renamed copy, light") << QStringLiteral("BrindleWaveFullInstaller 2.app") << QString()
                                             << false << QStringLiteral("BrindleWave VPN") << 1;
        QTest::newRow("other letter case") << QStringLiteral("brindlewavefullinstaller.app") << QString()
                                           << false << QStringLiteral("BrindleWave VPN") << 1;
        QTest::newRow("vpn, upgrade") << QStringLiteral("BrindleWaveInstaller.app")
                                      << QStringLiteral("upgradeMode") << false << QStringLiteral("BrindleWave")
                                      << 0;
        QTest::newRow("vpn, auto-check") << QStringLiteral("BrindleWaveInstaller.app")
                                         << QStringLiteral("AutoCheckMode") << false
                                         << QStringLiteral("BrindleWave") << 0;
    }
    void theBundleNameDecidesFullOrVpnOnly() {
        QFETCH(QString, bundle);
        QFETCH(QString, mode);
        QFETCH(bool, full);
        QFETCH(QString, title);
        QFETCH(int, isVPN);
        installUpdateTool();
        upd_double::scriptPolls({upd_double::running()});
        start(mode.isEmpty() ? QStringList{} : QStringList{mode}, bundle);
        const auto calls = upd_double::calls();
        QCOMPARE(std::count(calls.begin(), calls.end(), "set_full_version"), full ? 1 : 0);
        QCOMPARE(window_->windowTitle(), title);
        QCOMPARE(c_->isVPN, isVPN);
    }

    void onlyTheCancelNotificationRaisesTheFlag() {
        c_->handleNotification(nullptr);
        QVERIFY(!bwvShutdownCancel);
        bwv::platform::Notification other;
        other.name = QStringLiteral("BrindleWaveShutdown");
        c_->handleNotification(&other);
        QVERIFY(!bwvShutdownCancel);
        bwv::platform::Notification cancel;
        cancel.name = QStringLiteral("CancelBrindleWaveShutdown");
        c_->handleNotification(&cancel);
        QVERIFY(bwvShutdownCancel);
    }

    void theCancelNotificationArrivesOverTheSessionBus() {
        auto &center = bwv::platform::DistributedNotificationCenter::defaultCenter();
        if (!center.isConnected()) QSKIP("no session bus");
        start();
        center.postNotificationName(QStringLiteral("CancelBrindleWaveShutdown"));
        QTRY_VERIFY(bwvShutdownCancel);
    }

    void aControllerThatIsGoneNoLongerHearsTheCancelNotification() {
        auto &center = bwv::platform::DistributedNotificationCenter::defaultCenter();
        if (!center.isConnected()) QSKIP("no session bus");
        start();
        if (c_->updateTimer) c_->updateTimer->invalidate();
        c_.reset();
        center.postNotificationName(QStringLiteral("CancelBrindleWaveShutdown"));
        QTest::qWait(500);
        QVERIFY(!bwvShutdownCancel);
    }

    void theFirstCheckPollRunsAtOnceAndLaterOnesEverySecond() {
        installUpdateTool();
        upd_double::scriptPolls({upd_double::running(), upd_double::running(),
                                 upd_double::checked(true, "7.5.0")});
        start({QStringLiteral("upgradeMode")});
        QCOMPARE(upd_double::requests(), (std::vector<int>{1, 4}));
        QVERIFY(c_->updateTimer);
        QVERIFY(c_->piCheckProgress.isAnimating());
        QCOMPARE(c_->tfNotice->text(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(upd_double::pollCount(), 3, 5000);
        QVERIFY(!c_->updateTimer);
        QVERIFY(!c_->piCheckProgress.isAnimating());
        QTest::qWait(1300);
        QCOMPARE(upd_double::pollCount(), 3);
    }

    void aFinishedCheckShowsItsOutcome_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("outcome");  // 0 failed, 1 available, 2 up to date
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("cancelShown");
        QTest::addColumn<QString>("cancelTitle");
        QTest::addColumn<bool>("downloadShown");
        QTest::addColumn<bool>("determinate");
        QTest::addColumn<bool>("windowShown");
        QTest::addColumn<int>("terminations");
        QTest::newRow("upgrade, failed") << QStringLiteral("upgradeMode") << 0
                                         << QStringLiteral("Cannot reach the update server.") << true
                                         << QStringLiteral("Cancel") << false << false << true << 0;
        QTest::newRow("upgrade, available") << QStringLiteral("upgradeMode") << 1
                                            << QStringLiteral("BrindleWave 7.5.0 is available") << false
                                            << QStringLiteral("Cancel") << true << true << true << 0;
        QTest::newRow("upgrade, up to date") << QStringLiteral("upgradeMode") << 2
                                             << QStringLiteral("BrindleWave is up to date") << true
                                             << QStringLiteral("OK") << false << false << true << 0;
        QTest::newRow("auto-check, failed") << QStringLiteral("AutoCheckMode") << 0
                                            << QStringLiteral("Cannot reach the update server.") << true
                                            << QStringLiteral("Cancel") << false << false << false << 1;
        QTest::newRow("auto-check, available") << QStringLiteral("AutoCheckMode") << 1
                                               << QStringLiteral("BrindleWave 7.5.0 is available") << false
                                               << QStringLiteral("Cancel") << true << true << true << 0;
        QTest::newRow("auto-check, up to date") << QStringLiteral("AutoCheckMode") << 2
                                                << QStringLiteral("BrindleWave is up to date") << true
                                                << QStringLiteral("OK") << false << false << false << 1;
    }
    void aFinishedCheckShowsItsOutcome() {
        QFETCH(QString, mode);
        QFETCH(int, outcome);
        QFETCH(QString, notice);
        QFETCH(bool, cancelShown);
        QFETCH(QString, cancelTitle);
        QFETCH(bool, downloadShown);
        QFETCH(bool, determinate);
        QFETCH(bool, windowShown);
        QFETCH(int, terminations);
        installUpdateTool();
        c_->btnInstall->setHidden(false);
        upd_double::scriptPolls({outcome == 0   ? upd_double::failed("Cannot reach the update server.")
                                 : outcome == 1 ? upd_double::checked(true, "7.5.0")
                                                : upd_double::checked(false, "7.4.1")});
        start({mode});
        QVERIFY(!c_->updateTimer);
        QCOMPARE(c_->tfNotice->text(), notice);
        QCOMPARE(!c_->btnCancel->isHidden(), cancelShown);
        QCOMPARE(c_->btnCancel->text(), cancelTitle);
        QCOMPARE(!c_->btnDownload->isHidden(), downloadShown);
        QCOMPARE(!c_->piCheckProgress.isIndeterminate(), determinate);
        if (outcome == 0) QVERIFY(c_->btnInstall->isHidden());
        QCOMPARE(window_->isVisible(), windowShown);
        if (windowShown)
            QCOMPARE(bwv::platform::windowLevel(window_.get()), bwv::platform::kFloatingWindowLevel);
        QCOMPARE(c_->terminations, terminations);
        QVERIFY(sink_->lines.isEmpty());
        QVERIFY(presenter_->alerts.empty());
    }

    void aFailedAutoCheckThatStillOffersAVersionShowsTheWindow() {
        installUpdateTool();
        upd_double::scriptPolls({upd_double::failed("Partial answer.", true)});
        start({QStringLiteral("AutoCheckMode")});
        QVERIFY(window_->isVisible());
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Partial answer."));
        QCOMPARE(c_->terminations, 0);
    }

    void theDownloadAfterACheckCarriesTheVersionAndMovesTheBar() {
        installUpdateTool();
        upd_double::scriptPolls({upd_double::checked(true, "7.5.0")});
        start({QStringLiteral("upgradeMode")});
        upd_double::scriptPolls({upd_double::running(120), upd_double::running(260),
                                 upd_double::downloaded("/x/BrindleWave-7.5.0.dmg", "7.5.0")});
        c_->btnDownload->click();
        QCOMPARE(upd_double::requests(), (std::vector<int>{1, 4, 2, 4}));
        QCOMPARE(c_->piCheckProgress.minValue(), 0.0);
        QCOMPARE(c_->piCheckProgress.maxValue(), 500.0);
        QCOMPARE(c_->piCheckProgress.doubleValue(), 120.0);
        QVERIFY(!c_->btnDownload->isEnabled());
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading BrindleWave 7.5.0"));
        QTRY_COMPARE_WITH_TIMEOUT(c_->piCheckProgress.doubleValue(), 260.0, 3000);
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading BrindleWave 7.5.0"));
        QTRY_COMPARE_WITH_TIMEOUT(c_->tfNotice->text(), QStringLiteral("BrindleWave 7.5.0 is downloaded"), 3000);
        QCOMPARE(c_->piCheckProgress.doubleValue(), 500.0);
        QVERIFY(!c_->updateTimer);
        QVERIFY(c_->btnDownload->isHidden());
        QVERIFY(c_->btnDownload->isEnabled());
        QVERIFY(!c_->btnInstall->isHidden());
        QVERIFY(c_->btnInstall->isEnabled());
    }

    void anAutoCheckDownloadUsesTheModeRequest() {
        installUpdateTool();
        upd_double::scriptPolls({upd_double::checked(true, "7.5.0")});
        start({QStringLiteral("AutoCheckMode")});
        upd_double::scriptPolls({upd_double::running(10)});
        c_->downloadBrindleWave(nullptr);
        QCOMPARE(upd_double::requests(), (std::vector<int>{1, 4, 2, 4}));
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading BrindleWave 7.5.0"));
    }

    void aFailedDownloadOffersOnlyTheEnd() {
        upd_double::scriptPolls({upd_double::failed("The downloaded disk image is damaged.")});
        c_->btnInstall->setHidden(false);
        start();
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("The downloaded disk image is damaged."));
        QVERIFY(c_->btnDownload->isHidden());
        QVERIFY(c_->btnDownload->isEnabled());
        QVERIFY(c_->btnInstall->isHidden());
        QVERIFY(!c_->btnCancel->isHidden());
        QCOMPARE(c_->btnCancel->text(), QStringLiteral("OK"));
        QVERIFY(!c_->updateTimer);
        QVERIFY(sink_->lines.isEmpty());
        QVERIFY(presenter_->alerts.empty());
    }

    void theVpnSuffixJoinsTheNoticesOnceTheLightDownloadHasStarted() {
        upd_double::scriptPolls({upd_double::running(0), upd_double::running(300),
                                 upd_double::downloaded("/x/BrindleWave-7.5.0.dmg", "7.5.0")});
        start({}, QStringLiteral("BrindleWaveInstaller.app"));
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading BrindleWave "));
        QCOMPARE(c_->isVPN, 1);
        QTRY_COMPARE_WITH_TIMEOUT(c_->tfNotice->text(), QStringLiteral("BrindleWave VPN 7.5.0 is downloaded"),
                                  5000);
        QCOMPARE(upd_double::pollCount(), 3);
    }

    void aDownloadFinishedAtTheFirstPollLacksTheVpnSuffix() {
        upd_double::scriptPolls({upd_double::downloaded("/x/a.dmg", "7.5.0")});
        start({}, QStringLiteral("BrindleWaveInstaller.app"));
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("BrindleWave 7.5.0 is downloaded"));
        QVERIFY(!c_->updateTimer);
        QCOMPARE(window_->windowTitle(), QStringLiteral("BrindleWave VPN"));
    }

    void theVersionTexts() {
        QCOMPARE(c_->curBwvVersion(), QStringLiteral("7.4.1"));
        QCOMPARE(c_->downloadBwvVersion(), QString());
        upd_result r = upd_double::checked(true, "7.5.0-beta");
        upret = &r;
        QCOMPARE(c_->downloadBwvVersion(), QStringLiteral("7.5.0-beta"));
        upret = nullptr;
    }

    void theInstalledVersionComesFromTheVersionFile() {
        removeInstalledVersion();
        QVERIFY(c_->installedBwvVersion().isNull());
        writeInstalledVersion("name=client\nversion=5.2.1\nbuild=77\n", QString());
        QCOMPARE(c_->installedBwvVersion(), QStringLiteral("5.2.1\nbuild=77\n"));
        writeInstalledVersion("version=6.0.0");
        QCOMPARE(c_->installedBwvVersion(), QStringLiteral("6.0.0"));
        writeInstalledVersion("no version here");
        QVERIFY(c_->installedBwvVersion().isNull());
    }

    void shutdownSupportStartsAfter520_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("supported");
        QTest::newRow("none") << QByteArray() << false;
        QTest::newRow("5.2.0") << QByteArray("version=5.2.0\n") << false;
        QTest::newRow("5.2.1") << QByteArray("version=5.2.1\n") << true;
        QTest::newRow("5.3.0") << QByteArray("version=5.3.0") << true;
        QTest::newRow("6.0.0") << QByteArray("version=6.0.0") << true;
        QTest::newRow("5.1.9") << QByteArray("version=5.1.9") << false;
        QTest::newRow("four pieces, newer") << QByteArray("version=5.2.1.1234") << true;
        QTest::newRow("four pieces, 5.2.0") << QByteArray("version=5.2.0.9999") << false;
        QTest::newRow("two pieces") << QByteArray("version=6.1") << false;
        QTest::newRow("no pieces") << QByteArray("version=") << false;
        QTest::newRow("blanks and sign") << QByteArray("version= 5.+2. 1rc") << true;
        QTest::newRow("negative minor") << QByteArray("version=6.-1.0") << true;
        QTest::newRow("letters only") << QByteArray("version=a.b.c") << false;
    }
    void shutdownSupportStartsAfter520() {
        QFETCH(QByteArray, file);
        QFETCH(bool, supported);
        removeInstalledVersion();
        if (!file.isNull()) writeInstalledVersion(file);
        QCOMPARE(c_->isSupportShutdown(), supported);
    }

    void aRunningOldClientStopsTheInstallation() {
        writeInstalledVersion("version=5.2.0\n");
        prepareImage();
        installHdiutil();
        startAgent();
        c_->btnInstall->setHidden(false);
        c_->installBrindleWave(c_->btnInstall);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave is running!")});
        QCOMPARE(presenter_->alerts.front().message,
                 QStringLiteral("Please shutdown BrindleWave, then install again"));
        QCOMPARE(presenter_->alerts.front().defaultButton, QStringLiteral("OK"));
        QVERIFY(presenter_->alerts.front().alternateButton.isEmpty());
        QVERIFY(presenter_->alerts.front().otherButton.isEmpty());
        QVERIFY(c_->btnInstall->isEnabled());
        QCOMPARE(log("hdiutil.log"), QString());
        QCOMPARE(c_->terminations, 0);
    }

    void aRunningClientThatCanShutDownIsInstalledOver() {
        writeInstalledVersion("version=5.2.1\n");
        prepareImage();
        installHdiutil();
        installPkgutil();
        installOpen();
        startAgent();
        c_->installBrindleWave(nullptr);
        QVERIFY(presenter_->alerts.empty());
        QCOMPARE(c_->terminations, 1);
    }

    void aMissingImagePathIsLoggedOnly() {
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines, QStringList{QStringLiteral("Download Brindlewave dmg file is not found!")});
        upd_result empty = upd_double::downloaded("", "7.5.0");
        upret = &empty;
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines.size(), 2);
        QCOMPARE(sink_->lines.last(), QStringLiteral("Download Brindlewave dmg file is not found!"));
        QVERIFY(presenter_->alerts.empty());
        upret = nullptr;
    }

    void aSuccessfulInstallationHandsTheCopiedPackageOverAndEnds() {
        prepareImage();
        installHdiutil();
        installPkgutil();
        installOpen();
        c_->btnInstall->setHidden(false);
        c_->installBrindleWave(c_->btnInstall);

        const QStringList hdiutil = log("hdiutil.log").split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(hdiutil.size() >= 2, qPrintable(log("hdiutil.log")));
        const QString attach = hdiutil.at(0);
        QVERIFY(attach.startsWith(QStringLiteral("attach ") + imagePath() + QStringLiteral(" -mountpoint ") +
                                  root_ + QStringLiteral("/tmp/")));
        QVERIFY(attach.endsWith(QStringLiteral(" -noverify -nobrowse -noautoopen")));
        QCOMPARE(hdiutil.at(1), QStringLiteral("input:yes"));
        const QString mountPoint = attach.section(QLatin1Char(' '), 3, 3);
        QCOMPARE(QFileInfo(mountPoint).fileName().size(), 36);

        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("/Install.mpkg/Contents/Packages/client.pkg")).isFile());
        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("/ReadMe.txt")).isFile());
        QCOMPARE(log("pkgutil.log"),
                 mountPoint + QStringLiteral("/Install.mpkg\n") + downloadDir() + QStringLiteral("/Install.mpkg\n"));
        QCOMPARE(log("open.log"),
                 QStringLiteral("-n -b com.apple.installer ") + downloadDir() + QStringLiteral("/Install.mpkg\n"));
        QCOMPARE(sink_->lines, QStringList{QStringLiteral("BrindleWave dmg file is mounted successfully: ") +
                                           downloadDir()});
        QVERIFY(presenter_->alerts.empty());
        QCOMPARE(c_->terminations, 1);
        QTRY_VERIFY(log("hdiutil.log").contains(QStringLiteral("detach ") + mountPoint + QStringLiteral(" -force")));
        QVERIFY(QFileInfo(mountPoint).isDir());
        QVERIFY(QFileInfo(imagePath()).isFile());
    }

    void aFailedMountIsLoggedAndLeavesNoMountPoint() {
        prepareImage();
        installHdiutil();
        installPkgutil();
        writeFile(root_ + QStringLiteral("/attach-fails"), "");
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines.size(), 2);
        QVERIFY(sink_->lines.at(0).startsWith(QStringLiteral("Failed to run hdiutil: ") + imagePath() +
                                              QStringLiteral(", ") + root_ + QStringLiteral("/tmp/")));
        QCOMPARE(sink_->lines.at(1), QStringLiteral("Failed to extract files from BrindleWave dmg file!"));
        QCOMPARE(QDir(root_ + QStringLiteral("/tmp")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
        QVERIFY(presenter_->alerts.empty());
        QVERIFY(!log("hdiutil.log").contains(QStringLiteral("detach")));
        QCOMPARE(c_->terminations, 0);
    }

    // The attach blocks the controller: a second press of Install meanwhile (an impatient
    // user, a double click) must neither start a second attach inside the first nor be
    // lost; it is handled once the first installation has returned.
    void aPressDuringTheMountIsHandledAfterTheInstallationReturns() {
        prepareImage();
        // Each attach is counted, then held until the test lets it fail.
        writeFile(root_ + QStringLiteral("/usr/bin/hdiutil"),
                  "#!/bin/sh\nroot='" + root_.toUtf8() + "'\n"
                  "echo \"$1\" >> \"$root/attaches\"\n"
                  "n=0; while [ ! -e \"$root/release\" ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\n"
                  "exit 1\n",
                  true);
        c_->btnInstall->setHidden(false);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        bool returned = false;
        QList<bool> pressesAfterReturn;
        connect(c_->btnInstall, &QPushButton::clicked, this, [&] { pressesAfterReturn << returned; });

        // The press comes from the window system, as a user's does: queued, not sent.
        QTimer::singleShot(0, this, [&] {
            QWindow *w = window_->windowHandle();
            const QPointF at = c_->btnInstall->mapTo(window_.get(), c_->btnInstall->rect().center());
            QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                w, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
            QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                w, at, w->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
            writeFile(root_ + QStringLiteral("/release"), "");
        });
        c_->installBrindleWave(c_->btnInstall);
        returned = true;
        QCOMPARE(log("attaches"), QStringLiteral("attach\n"));
        QTRY_COMPARE(pressesAfterReturn, QList<bool>{true});
        QCOMPARE(log("attaches"), QStringLiteral("attach\nattach\n"));
    }

    void aMissingMountToolIsAFailedMount() {
        prepareImage();
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines.size(), 2);
        QVERIFY(sink_->lines.at(0).startsWith(QStringLiteral("Failed to run hdiutil: ")));
    }

    void aMountPointThatCannotBeMadeIsLogged() {
        prepareImage();
        installHdiutil();
        // A file where the mount points' folder should be.
        QDir(root_ + QStringLiteral("/tmp")).removeRecursively();
        writeFile(root_ + QStringLiteral("/tmp"), "in the way");
        QVERIFY(!c_->extractFilesFromDMG(imagePath(), downloadDir()));
        QCOMPARE(sink_->lines, (QStringList{QStringLiteral("Failed to create mount point!"),
                                            QStringLiteral("Failed to extract files from BrindleWave dmg file!")}));
        QCOMPARE(log("hdiutil.log"), QString());
    }

    void aPackageRefusedOnTheImageDisablesInstall_data() {
        QTest::addColumn<bool>("withPackage");
        QTest::newRow("tampered package") << true;
        QTest::newRow("image without package") << false;
    }
    void aPackageRefusedOnTheImageDisablesInstall() {
        QFETCH(bool, withPackage);
        prepareImage(withPackage);
        installHdiutil();
        installPkgutil();
        installOpen();
        writeFile(root_ + QStringLiteral("/reject"), (root_ + QStringLiteral("/tmp/")).toUtf8());
        c_->btnInstall->setHidden(false);
        c_->installBrindleWave(c_->btnInstall);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Verification Failed!")});
        QCOMPARE(presenter_->alerts.front().message,
                 QStringLiteral("Failed to verify the signature of the downloaded installer. The package may be "
                                "corrupted or has been modified by a third party."));
        QCOMPARE(sink_->lines.size(), 3);
        QVERIFY(sink_->lines.at(0).startsWith(QStringLiteral("BrindleWave dmg file is mounted successfully: ")));
        QCOMPARE(sink_->lines.at(1), QStringLiteral("Failed to verify package"));
        QCOMPARE(sink_->lines.at(2), QStringLiteral("Failed to extract files from BrindleWave dmg file!"));
        QVERIFY(!c_->btnInstall->isEnabled());
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/ReadMe.txt")));
        QCOMPARE(log("open.log"), QString());
        QTRY_VERIFY(log("hdiutil.log").contains(QStringLiteral("detach ")));
        QCOMPARE(c_->terminations, 0);
    }

    // The copy is handed over by its path: one that another account could swap after the
    // check is refused like a bad signature.
    void aPackageRefusedAfterCopyingIsNeverOpened_data() {
        QTest::addColumn<int>("refusal");
        QTest::newRow("signature refused") << 0;
        QTest::newRow("folder others may write") << 1;
        QTest::newRow("folder of another account") << 2;
    }
    void aPackageRefusedAfterCopyingIsNeverOpened() {
        QFETCH(int, refusal);
        if (refusal == 2 && ::geteuid() != 0) QSKIP("needs root to give a folder to another account");
        prepareImage();
        installHdiutil();
        installPkgutil();
        installOpen();
        const QByteArray dir = QFile::encodeName(downloadDir());
        if (refusal == 0) writeFile(root_ + QStringLiteral("/reject"), downloadDir().toUtf8());
        if (refusal == 1) QVERIFY(::chmod(dir.constData(), 0777) == 0);
        if (refusal == 2) QVERIFY(::chown(dir.constData(), 54321, 54321) == 0);
        c_->installBrindleWave(nullptr);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Verification Failed!")});
        QVERIFY(!c_->btnInstall->isEnabled());
        QVERIFY(QFileInfo::exists(downloadDir() + QStringLiteral("/Install.mpkg")));
        QCOMPARE(sink_->lines.last(), QStringLiteral("Failed to verify package"));
        QCOMPARE(log("open.log"), QString());
        QCOMPARE(c_->terminations, 0);
    }

    void aCopyOntoAnExistingItemFailsAgainOnTheNextAttempt() {
        prepareImage();
        installHdiutil();
        installPkgutil();
        installOpen();
        writeFile(downloadDir() + QStringLiteral("/ReadMe.txt"), "left from before");
        for (int attempt = 0; attempt < 2; ++attempt) {
            sink_->lines.clear();
            c_->installBrindleWave(nullptr);
            QCOMPARE(sink_->lines.size(), 3);
            QCOMPARE(sink_->lines.at(1), QStringLiteral("Failed to extract files from BrindleWave disk image."));
            QCOMPARE(sink_->lines.at(2), QStringLiteral("Failed to extract files from BrindleWave dmg file!"));
        }
        QCOMPARE(readFile(downloadDir() + QStringLiteral("/ReadMe.txt")), QStringLiteral("left from before"));
        QVERIFY(presenter_->alerts.empty());
        QVERIFY(c_->btnInstall->isEnabled());
        QCOMPARE(log("open.log"), QString());
        QTRY_COMPARE(log("hdiutil.log").count(QStringLiteral("detach ")), 2);
    }

    void aPackageMissingAfterExtractionIsLogged() {
        prepareImage(false);
        installHdiutil();
        installOpen();
        // A checker that accepts whatever it is shown, so the copy goes ahead without it.
        writeFile(root_ + QStringLiteral("/usr/sbin/pkgutil"),
                  "#!/bin/sh\necho '   Status: signed by a developer certificate issued by Apple for distribution'\n"
                  "echo '    1. Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)'\n",
                  true);
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines.last(), QStringLiteral("Install.mpkg is not found in the extracted files"));
        QCOMPARE(log("open.log"), QString());
        QCOMPARE(c_->terminations, 0);
    }

    void aMissingOpenerDisablesInstall() {
        prepareImage();
        installHdiutil();
        installPkgutil();
        c_->installBrindleWave(nullptr);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Installation Failed!")});
        QCOMPARE(presenter_->alerts.front().message, QStringLiteral("Failed to open BrindleWave installer."));
        QCOMPARE(sink_->lines.last(), QStringLiteral("File does not exist: /usr/bin/open"));
        QVERIFY(!c_->btnInstall->isEnabled());
        QCOMPARE(c_->terminations, 0);
    }

    void theShutdownSequenceInstallsOnceTheAgentHasGone() {
        startAgent();
        c_->shutdownBrindleWave();
        QVERIFY(!c_->btnInstall->isEnabled());
        QVERIFY(!bwvShutdownCancel);
        QTest::qWait(1500);
        QVERIFY(timecounter >= 1);
        QVERIFY(sink_->lines.isEmpty());
        stopAgent();
        // With nothing downloaded, the install action's first log line shows it ran.
        QTRY_COMPARE_WITH_TIMEOUT(sink_->lines,
                                  QStringList{QStringLiteral("Download Brindlewave dmg file is not found!")}, 8000);
        QVERIFY(presenter_->alerts.empty());
        const int polls = timecounter;
        QTest::qWait(1300);
        QCOMPARE(timecounter, polls);
        QCOMPARE(sink_->lines.size(), 1);
    }

    void theShutdownSequenceGivesUpAfterTenPolls() {
        startAgent();
        QElapsedTimer clock;
        clock.start();
        c_->shutdownBrindleWave();
        QTRY_VERIFY_WITH_TIMEOUT(!presenter_->alerts.empty(), 16000);
        QVERIFY(clock.elapsed() >= 10500);
        QCOMPARE(timecounter, 10);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave is running!")});
        QVERIFY(c_->btnInstall->isEnabled());
        QTest::qWait(1300);
        QCOMPARE(static_cast<int>(presenter_->alerts.size()), 1);
        QVERIFY(sink_->lines.isEmpty());
    }

    void aCancelNotificationEndsTheShutdownSequence() {
        startAgent();
        c_->shutdownBrindleWave();
        bwv::platform::Notification cancel;
        cancel.name = QStringLiteral("CancelBrindleWaveShutdown");
        c_->handleNotification(&cancel);
        QTRY_VERIFY_WITH_TIMEOUT(!presenter_->alerts.empty(), 3000);
        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave is running!")});
        QCOMPARE(timecounter, 0);
        QVERIFY(c_->btnInstall->isEnabled());
        QTest::qWait(1300);
        QCOMPARE(static_cast<int>(presenter_->alerts.size()), 1);
    }

    void textsAreFormattedLikeTheirEnglishOriginals_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");
        QTest::newRow("in order") << QStringLiteral("Downloading BrindleWave%@ %@")
                                  << QStringList{QStringLiteral(" VPN"), QStringLiteral("7.5")}
                                  << QStringLiteral("Downloading BrindleWave VPN 7.5");
        QTest::newRow("c string") << QStringLiteral("BrindleWave%@ %s is available")
                                  << QStringList{QString(), QStringLiteral("7.5")}
                                  << QStringLiteral("BrindleWave 7.5 is available");
        QTest::newRow("positions") << QStringLiteral("%2$@ then %1$@") << QStringList{QStringLiteral("a"), QStringLiteral("b")}
                                   << QStringLiteral("b then a");
        QTest::newRow("percent") << QStringLiteral("100%% sure %@") << QStringList{QStringLiteral("x")}
                                 << QStringLiteral("100% sure x");
        QTest::newRow("missing argument") << QStringLiteral("%@ and %@") << QStringList{QStringLiteral("one")}
                                          << QStringLiteral("one and ");
        QTest::newRow("stray percent") << QStringLiteral("50% off%") << QStringList{} << QStringLiteral("50% off%");
    }
    void textsAreFormattedLikeTheirEnglishOriginals() {
        QFETCH(QString, format);
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        QCOMPARE(formatText(format, args), expected);
    }
};

QTEST_MAIN(AppControllerTest)
#include "test_app_controller.moc"
