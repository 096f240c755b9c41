// The installer's controller in-process: start-up in each run mode, the check and download
// polls against a scripted update library, and every installation outcome against fake
// tools in a private root.
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <bwvutil/ps_utils.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/app/ControllerFixture.h"

using namespace app_test;
namespace dbl = upd_double;

class AppControllerTest : public QObject, ControllerFixture {
    Q_OBJECT

    QProcess agent_;
    upd_result downloaded_{};

    QString imagePath() const { return downloadDir() + QStringLiteral("/BrindleWave-7.5.0.dmg"); }

    // Root, download folder and mount ids as placeholders, so expected lines read plainly.
    QStringList lines(const QString &rooted) const {
        static const QRegularExpression id(QStringLiteral("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"));
        QStringList out = rooted.startsWith(QLatin1Char('/'))
                              ? read(rooted).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                              : s_->log->lines;
        for (QString &l : out)
            l.replace(downloadDir(), QStringLiteral("<dl>"))
                .replace(s_->root, QStringLiteral("<root>"))
                .replace(id, QStringLiteral("<id>"));
        return out;
    }

    QString shownButtons() const {
        QStringList shown;
        for (QPushButton *b : {s_->c.btnCancel, s_->c.btnDownload, s_->c.btnInstall})
            if (!b->isHidden()) shown << b->text();
        return shown.join(QLatin1Char(' '));
    }

    void installUpdateTool(int mode = 0755) {
        write(kSupportDir + QStringLiteral("/bin/bwvupdate"), "#!/bin/sh\n", mode);
    }

    // hdiutil copies the prepared image folder to the mount point and its detach empties it
    // (half a second late for "slow-detach"); pkgutil signs every existing package as the
    // maker unless its path starts with the prefix in "reject"; open records what it is
    // handed. Each records its arguments. The package is the demo release's full client
    // unless the setup names the VPN client's, the older release's or one that names no
    // version; the library offers the demo release unless told otherwise.
    void installTools(const QString &setup) {
        const QByteArray r = "#!/bin/sh\nroot='" + s_->root.toUtf8() + "'\n";
        write(QStringLiteral("/usr/bin/hdiutil"),
              r +
                  "case \"$1\" in\nattach)\n"
                  "  [ -e \"$root/attach-fails\" ] && exit 1\n  echo \"$*\" >> \"$root/hdiutil.log\"\n"
                  "  IFS= read -r answer; echo \"input:$answer $(stat -c %a \"$4\")\" >> \"$root/hdiutil.log\"\n"
                  "  cp -R \"$root/image/.\" \"$4/\" && printf '/dev/disk9s1\\tApple_HFS\\t%s\\n' \"$4\" ;;\n"
                  "detach) echo \"$*\" >> \"$root/hdiutil.log\"; " +
                  (setup == QLatin1String("slow-detach") ? "sleep 0.5; " : "") + "rm -rf \"$2\"/* ;;\nesac\n",
              0755);
        write(QStringLiteral("/usr/sbin/pkgutil"),
              r + "echo \"$2\" >> \"$root/pkgutil.log\"\n"
                  "if [ ! -e \"$root/accept-all\" ]; then\n"
                  "  [ -e \"$root/reject\" ] && case \"$2\" in \"$(cat \"$root/reject\")\"*) exit 1 ;; esac\n"
                  "  [ -e \"$2\" ] || exit 1\nfi\n"
                  "echo '   Status: signed by a developer certificate issued by Apple for distribution'\n"
                  "echo '    1. Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)'\n",
              0755);
        if (!setup.contains(QLatin1String("no-open")))
            write(QStringLiteral("/usr/bin/open"), r + "echo \"$*\" >> \"$root/open.log\"\n", 0755);
        const QString package = QStringLiteral(BWV_DEMO_DIR "/%1%2/Install.mpkg")
                                    .arg(QLatin1String(setup.contains(QLatin1String("older-package")) ? "older/" : ""),
                                         QLatin1String(setup.contains(QLatin1String("vpn-package")) ? "vpn" : "full"));
        if (setup.contains(QLatin1String("bundle-package")))
            write(QStringLiteral("/image/Install.mpkg/Contents/Packages/client.pkg"), "payload");
        else if (!setup.contains(QLatin1String("no-package")))
            QVERIFY(QFile::copy(package, s_->dir.makeDir(QStringLiteral("image")) + QStringLiteral("/Install.mpkg")));
        write(QStringLiteral("/image/ReadMe.txt"), "read me");
        write(imagePath().mid(s_->root.size()), "not really a disk image");
        downloaded_ = dbl::downloaded(imagePath().toUtf8().constData(),
                                      setup.contains(QLatin1String("older-offered")) ? "5.2.0" : BWV_DEMO_VERSION);
        upret = &downloaded_;
    }

    void startAgent() {
        const QString exe = s_->dir.makeDir(QStringLiteral("agent")) + QStringLiteral("/BrindleWaveAgent");
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
        agent_.start(exe, {QStringLiteral("120")});
        QVERIFY(agent_.waitForStarted());
        QTRY_VERIFY(ps_get_pid("BrindleWaveAgent") > 0);
    }

    void stopAgent() {
        agent_.kill();
        agent_.waitForFinished();
    }

    void start(const QString &bundle, const QStringList &argv) {
        s_->c.bundlePath = QStringLiteral("/Applications/") + bundle;
        s_->c.arguments = argv;
        s_->c.awakeFromNib();
    }

private slots:
    void init() { setUp(); }

    void cleanup() {
        stopAgent();
        // Detaches run unwaited; let them finish before the root goes away under them.
        QTRY_COMPARE(read(QStringLiteral("/hdiutil.log")).count(QStringLiteral("detach ")),
                     read(QStringLiteral("/hdiutil.log")).count(QStringLiteral("attach ")));
        tearDown();
    }

    void startUp_data() { addRows({"bundle", "argv", "tool", "summary"}); }
    void startUp() {
        QFETCH(QString, bundle);
        QFETCH(QString, argv);
        QFETCH(QString, summary);
        if (const int tool = number("tool")) installUpdateTool(tool);
        dbl::scriptPolls({dbl::running()});
        start(bundle, argv.split(QLatin1Char(' ')));
        QStringList requests;
        for (int r : dbl::requests()) requests << QString::number(r);
        const auto calls = dbl::g_calls;
        const bool fullAsked = std::count(calls.begin(), calls.end(), "set_full_version") == 1;
        QCOMPARE(QStringLiteral("%1%2 %3 [%4] %5")
                     .arg(QLatin1String(autoCheckMode ? "auto"
                                        : upgradeMode ? "upgrade"
                                                      : "light"),
                          QLatin1String(fullAsked ? "+full" : ""),
                          s_->window.isVisible() ? s_->window.windowTitle() : QStringLiteral("hidden"),
                          requests.join(QLatin1Char(',')), QString::number(s_->c.exitStatus)),
                 summary);
        if (s_->window.isVisible())
            QCOMPARE(bwv::platform::windowLevel(&s_->window), bwv::platform::kFloatingWindowLevel);
        QVERIFY(s_->log->lines.isEmpty() && s_->alerts->alerts.empty());
    }

    // The light installer clears an old work folder of the user's alone (links inside go,
    // what they point at stays); one others could have planted is left for the library to
    // refuse. It then downloads at once, ignoring termination requests.
    void theLightInstallerStartsFromACleanWorkFolder_data() { addRows({"owner"}); }
    void theLightInstallerStartsFromACleanWorkFolder() {
        const int owner = number("owner");
        if (owner == 2 && ::geteuid() != 0) QSKIP("needs root to give a folder to another account");
        const QString precious = s_->dir.writeFile(QStringLiteral("precious/file"), "mine");
        s_->dir.makeDir(QStringLiteral("usertmp/bwvupdate/old"));
        QVERIFY(QFile::link(precious, downloadDir() + QStringLiteral("/old/file-link")));
        QVERIFY(QFile::link(QFileInfo(precious).path(), downloadDir() + QStringLiteral("/old/folder-link")));
        const QByteArray dir = QFile::encodeName(downloadDir());
        if (owner)
            QVERIFY(owner == 1 ? ::chmod(dir.constData(), 0777) == 0 : ::chown(dir.constData(), 54321, 54321) == 0);
        start(QStringLiteral("BrindleWaveInstaller.app"), {QStringLiteral("x")});
        QCOMPARE(QFileInfo::exists(downloadDir() + QStringLiteral("/old")), owner != 0);
        QVERIFY(QFileInfo(precious).isFile());
        QCOMPARE(dbl::g_calls.at(1), "upd_init " + downloadDir().toStdString());
        struct sigaction sa {};
        sigaction(SIGTERM, nullptr, &sa);
        QVERIFY(sa.sa_handler == SIG_IGN);
    }

    // The application ends right after handing the package over, usually before the detach
    // has: a controller that goes waits for the detach to empty the mount point and removes
    // it. Once gone it no longer hears the client's cancel.
    void aControllerThatIsGoneLeftNoMountPointAndNoLongerHearsTheCancelNotification() {
        installTools(QStringLiteral("slow-detach"));
        QVERIFY(TestController().extractFilesFromDMG(imagePath(), downloadDir()));
        QCOMPARE(QDir(s_->root + QStringLiteral("/tmp")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
        start(QStringLiteral("BrindleWaveFullInstaller.app"), {QStringLiteral("x")});
        tearDown();
        setUp();
        bwv::platform::DistributedNotificationCenter::defaultCenter().postNotificationName(
            QStringLiteral("CancelBrindleWaveShutdown"));
        QTest::qWait(500);
        QVERIFY(!bwvShutdownCancel);
    }

    // The first poll runs at once, later ones every second until the library has finished.
    void aFinishedCheckShowsItsOutcome_data() { addRows({"mode", "result", "pollsBefore", "outcome"}); }
    void aFinishedCheckShowsItsOutcome() {
        QFETCH(QString, mode);
        const int result = number("result"), pollsBefore = number("pollsBefore");
        QFETCH(QString, outcome);
        installUpdateTool();
        s_->c.btnInstall->setHidden(false);
        const char *failure = "Cannot reach the update server.";
        std::vector<upd_result> polls(pollsBefore, dbl::running());
        polls.push_back(result == 1   ? dbl::checked(true, "7.5.0")
                        : result == 2 ? dbl::checked(false, "7.4.1")
                                      : dbl::failed(failure, result == 3));
        dbl::scriptPolls(polls);
        start(QStringLiteral("BrindleWaveFullInstaller.app"), {QStringLiteral("x"), mode});
        QCOMPARE(dbl::requests(), (std::vector<int>{1, 4}));
        QTRY_VERIFY_WITH_TIMEOUT(!s_->c.updateTimer && !s_->c.piCheckProgress.isAnimating(), 30000);
        if (pollsBefore) QTest::qWait(1300);
        QCOMPARE(dbl::pollCount(), pollsBefore + 1);
        QCOMPARE(
            QStringLiteral("%1 | %2 | %3%4")
                .arg(s_->c.tfNotice->text(), shownButtons(), QLatin1String(s_->window.isVisible() ? "shown" : "hidden"),
                     QLatin1String(s_->c.terminations ? " ended" : "")),
            outcome);
        s_->c.btnCancel->click();
        QCOMPARE(s_->c.terminations, outcome.endsWith(QLatin1String("ended")) ? 2 : 1);
    }

    // The VPN suffix joins the notices only once start-up has marked the bundle as VPN-only,
    // after the light download's first poll; after a check, the download is the user's and
    // carries the version found.
    void aDownloadShowsItsOutcome_data() { addRows({"mode", "pollsBefore", "fails", "outcome"}); }
    void aDownloadShowsItsOutcome() {
        QFETCH(QString, mode);
        const int pollsBefore = number("pollsBefore");
        QFETCH(QString, outcome);
        std::vector<upd_result> polls(pollsBefore, dbl::running(120));
        polls.push_back(number("fails") ? dbl::failed("The downloaded disk image is damaged.")
                                        : dbl::downloaded("/x/a.dmg", "7.5.0"));
        dbl::scriptPolls(mode.isEmpty() ? polls : std::vector<upd_result>{dbl::checked(true, "7.5.0")});
        installUpdateTool();
        s_->c.btnInstall->setHidden(false);
        start(QStringLiteral("BrindleWaveInstaller.app"),
              mode.isEmpty() ? QStringList{QStringLiteral("x")} : QStringList{QStringLiteral("x"), mode});
        if (!mode.isEmpty()) {
            dbl::scriptPolls(polls);
            s_->c.btnDownload->click();
            QCOMPARE(s_->c.tfNotice->text(), QStringLiteral("Downloading BrindleWave 7.5.0"));
            QCOMPARE(dbl::requests(), (std::vector<int>{1, 4, 2, 4}));  // an upgrade downloads with request 2
        }
        if (pollsBefore)
            QCOMPARE(s_->c.piCheckProgress.doubleValue() / s_->c.piCheckProgress.maxValue(), 120.0 / 500.0);
        QCOMPARE(s_->c.btnDownload->isEnabled(), !s_->c.updateTimer);
        QTRY_VERIFY_WITH_TIMEOUT(!s_->c.updateTimer, 30000);
        QCOMPARE(s_->c.tfNotice->text() + QStringLiteral(" | ") + shownButtons(), outcome);
        QCOMPARE(dbl::pollCount(), pollsBefore + 1 + !mode.isEmpty());
        QVERIFY(s_->c.btnDownload->isEnabled());
    }

    // Return (or Enter) takes the window's next step and Escape does what its Cancel or OK
    // button does, wherever the focus is; the focus starts on the next step, so Space agrees.
    // A hidden or disabled button is never pressed (the controller's own handling is held
    // back).
    void keysPressTheNextStepOrNothing_data() { addRows({"mode", "result", "keys"}); }
    void keysPressTheNextStepOrNothing() {
        QFETCH(QString, mode);
        const int result = number("result");
        QFETCH(QString, keys);
        const upd_result answers[] = {dbl::running(), dbl::checked(true, "7.5.0"), dbl::checked(false, "7.4.1"),
                                      dbl::failed("No network."), dbl::downloaded("", "7.5.0")};
        dbl::scriptPolls({answers[result == 5 ? 1 : result]});
        installUpdateTool();
        start(QStringLiteral("BrindleWaveFullInstaller.app"),
              mode.isEmpty() ? QStringList{QStringLiteral("x")} : QStringList{QStringLiteral("x"), mode});
        dbl::scriptPolls({dbl::running()});
        if (result == 5) s_->c.btnDownload->click();
        QVERIFY(QTest::qWaitForWindowActive(&s_->window));
        QStringList pressed;
        for (QPushButton *b : {s_->c.btnCancel, s_->c.btnDownload, s_->c.btnInstall}) {
            b->disconnect(&s_->c);
            connect(b, &QPushButton::clicked, this, [&pressed, b] { pressed << b->text(); });
        }
        QTest::qWait(0);
        QWidget *focus = s_->window.focusWidget();
        QString outcome = focus == &s_->window ? QStringLiteral("window")
                          : focus              ? focus->property("text").toString()
                                               : QStringLiteral("none");
        for (const auto &[key, modifiers] : {std::pair(Qt::Key_Return, Qt::NoModifier),
                                             {Qt::Key_Enter, Qt::KeypadModifier},
                                             {Qt::Key_Space, Qt::NoModifier},
                                             {Qt::Key_Escape, Qt::NoModifier}}) {
            QTest::keyClick(key == Qt::Key_Space ? focus : &s_->window, key, modifiers);
            outcome += (key == Qt::Key_Return ? QStringLiteral(" | ") : QStringLiteral(" ")) +
                       pressed.value(0, QStringLiteral("-"));
            pressed.clear();
        }
        QCOMPARE(outcome, keys);
    }

    // A 1024x768 screen at scale 2 offers 512x384 of the window's pixels: the window and its
    // frame fit on it; a smaller area takes from the margins, never from a text, and a larger
    // one gives them back.
    void theWindowAndItsFrameFitTheScreenAtAnyScale() {
        s_->c.tfNotice->setText(QStringLiteral("BrindleWave VPN 7.5.0 is downloaded"));
        s_->c.btnInstall->setHidden(false);
        bwv::platform::makeKeyAndOrderFront(&s_->window);
        QVERIFY(QTest::qWaitForWindowExposed(&s_->window));
        for (const QRect area : {QRect(0, 0, 512, 384), QRect(30, 20, 240, 240), QRect(0, 0, 1920, 1080)}) {
            bwv::platform::fitWindowToScreen(&s_->window, area);
            s_->window.layout()->activate();
            QVERIFY2(area.contains(s_->window.frameGeometry()),
                     qPrintable(QDebug::toString(s_->window.frameGeometry())));
            for (QWidget *w : std::initializer_list<QWidget *>{s_->c.tfNotice, s_->c.btnCancel, s_->c.btnInstall})
                QVERIFY(w->width() >= w->minimumSizeHint().width() && w->height() >= w->heightForWidth(w->width()));
            QCOMPARE(s_->window.layout()->contentsMargins().left() < 24, area.width() < 400);
        }
    }

    // The installed client's version file: conf first, then the support folder.
    void shutdownSupportStartsAfter520_data() { addRows({"folder", "file", "supported"}); }
    void shutdownSupportStartsAfter520() {
        QFETCH(QString, folder);
        QFETCH(QString, file);
        QFile::remove(s_->root + kSupportDir + QStringLiteral("/conf/bwvinfo"));
        if (!folder.isEmpty()) write(kSupportDir + folder + QStringLiteral("/bwvinfo"), file.toUtf8());
        QCOMPARE(s_->c.isSupportShutdown(), number("supported") != 0);
    }

    void anInstallationShowsItsOutcome_data() { addRows({"setup", "logged", "alert", "installed"}); }
    void anInstallationShowsItsOutcome() {
        QFETCH(QString, setup);
        QFETCH(QString, logged);
        QFETCH(QString, alert);
        const QStringList log = logged.split(QStringLiteral(" | "), Qt::SkipEmptyParts);
        const bool installed = number("installed");
        if (setup.contains(QLatin1String("foreign")) && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another account");
        installTools(setup);
        const auto has = [&](const char *word) { return setup.split(QLatin1Char(' ')).contains(QLatin1String(word)); };
        const QByteArray dir = QFile::encodeName(downloadDir());
        if (has("no-image")) upret = nullptr;
        if (has("empty-path")) downloaded_ = dbl::downloaded("", "7.5.0");
        if (has("old-client")) write(kSupportDir + QStringLiteral("/conf/bwvinfo"), "version=5.2.0\n");
        if (has("same-client")) write(kSupportDir + QStringLiteral("/conf/bwvinfo"), "version=" BWV_DEMO_VERSION "\n");
        if (has("vpn-bundle")) s_->c.bundlePath = QStringLiteral("/Applications/BrindleWaveInstaller.app");
        upgradeMode = has("upgrade");
        if (has("agent")) startAgent();
        for (const char *marker : {"attach-fails", "accept-all"})
            if (has(marker)) write(QLatin1Char('/') + QLatin1String(marker), "");
        if (has("reject-mount")) write(QStringLiteral("/reject"), (s_->root + QStringLiteral("/tmp/")).toUtf8());
        if (has("reject-copy")) write(QStringLiteral("/reject"), dir);
        if (has("readme-exists")) write(QStringLiteral("/usertmp/bwvupdate/ReadMe.txt"), "left from before");
        if (has("shared-folder")) QVERIFY(::chmod(dir.constData(), 0777) == 0);
        if (has("foreign-folder")) QVERIFY(::chown(dir.constData(), 54321, 54321) == 0);
        if (has("tmp-blocked")) QVERIFY(QDir(s_->root + QStringLiteral("/tmp")).removeRecursively());
        if (has("tmp-blocked")) write(QStringLiteral("/tmp"), "in the way");
        s_->c.btnInstall->setHidden(false);
        const mode_t umask = ::umask(0);  // the mount point is private all the same
        s_->c.installBrindleWave(s_->c.btnInstall);
        ::umask(umask);

        QCOMPARE(lines(QString()), log);
        QCOMPARE(alertTitles(), alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(s_->c.btnInstall->isEnabled(), !alert.contains(QLatin1String("Failed")));
        QCOMPARE(s_->c.terminations, installed ? 1 : 0);
        QCOMPARE(
            lines(QStringLiteral("/open.log")),
            installed ? QStringList{QStringLiteral("-n -b com.apple.installer <dl>/Install.mpkg")} : QStringList());
        const bool wasMounted = log.value(0).startsWith(QLatin1String("BrindleWave dmg file is mounted"));
        QCOMPARE(read(QStringLiteral("/hdiutil.log")).contains(QLatin1String("attach ")), wasMounted);
        QTRY_COMPARE(QDir(s_->root + QStringLiteral("/tmp")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
        if (log.size() == 3 && log.at(1) == QLatin1String("Failed to verify package"))
            QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/ReadMe.txt")));
        if (has("readme-exists"))
            QCOMPARE(read(QStringLiteral("/usertmp/bwvupdate/ReadMe.txt")), QStringLiteral("left from before"));
        if (log.value(1).startsWith(QLatin1String("Refused")))
            QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/Install.mpkg")));
        if (!installed) return;
        QCOMPARE(
            lines(QStringLiteral("/hdiutil.log")).mid(0, 2),
            (QStringList{
                QStringLiteral(
                    "attach <dl>/BrindleWave-7.5.0.dmg -mountpoint <root>/tmp/<id> -noverify -nobrowse -noautoopen"),
                QStringLiteral("input:yes 700")}));
        QCOMPARE(lines(QStringLiteral("/pkgutil.log")),
                 (QStringList{QStringLiteral("<root>/tmp/<id>/Install.mpkg"), QStringLiteral("<dl>/Install.mpkg")}));
        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("/ReadMe.txt")).isFile());
        QTRY_COMPARE(lines(QStringLiteral("/hdiutil.log")).value(2), QStringLiteral("detach <root>/tmp/<id> -force"));
    }

    // The attach blocks the controller: a second press of Install meanwhile (an impatient
    // user, a double click) must neither start a second attach inside the first nor be
    // lost; it is handled once the first installation has returned.
    void aPressDuringTheMountIsHandledAfterTheInstallationReturns() {
        installTools(QString());
        // Each attach is counted, then held until the test lets it fail.
        write(QStringLiteral("/usr/bin/hdiutil"),
              "#!/bin/sh\nroot='" + s_->root.toUtf8() +
                  "'\necho \"$1\" >> \"$root/attaches\"\n"
                  "n=0; while [ ! -e \"$root/release\" ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\nexit 1\n",
              0755);
        s_->c.btnInstall->setHidden(false);
        s_->window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s_->window));
        bool returned = false;
        QList<bool> pressesAfterReturn;
        connect(s_->c.btnInstall, &QPushButton::clicked, this, [&] { pressesAfterReturn << returned; });
        // The press comes from the window system, as a user's does: queued, not sent.
        QTimer::singleShot(0, this, [&] {
            QWindow *w = s_->window.windowHandle();
            const QPointF at = s_->c.btnInstall->mapTo(&s_->window, s_->c.btnInstall->rect().center());
            for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                    w, at, w->mapToGlobal(at), type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::LeftButton, type);
            write(QStringLiteral("/release"), "");
        });
        s_->c.installBrindleWave(s_->c.btnInstall);
        returned = true;
        QCOMPARE(read(QStringLiteral("/attaches")), QStringLiteral("attach\n"));
        QTRY_COMPARE(pressesAfterReturn, QList<bool>{true});
        QCOMPARE(read(QStringLiteral("/attaches")), QStringLiteral("attach\nattach\n"));
    }

    // The client's agent is asked to shut down and polled every second: once it has gone
    // the installation runs (with nothing downloaded, its log line shows it); it is given up
    // after ten polls, counted over the life of the process, or at the client's cancel over
    // the bus (the shutdown request the controller posts there itself is no cancel).
    void theShutdownSequenceEndsOnce_data() { addRows({"counted", "end"}); }
    void theShutdownSequenceEndsOnce() {
        const int counted = number("counted");
        QFETCH(QString, end);
        startAgent();
        start(QStringLiteral("BrindleWaveFullInstaller.app"), {QStringLiteral("x")});
        timecounter = counted;
        s_->c.shutdownBrindleWave();
        QVERIFY(!s_->c.btnInstall->isEnabled());
        if (end == QLatin1String("cancel"))
            bwv::platform::DistributedNotificationCenter::defaultCenter().postNotificationName(
                QStringLiteral("CancelBrindleWaveShutdown"));
        if (end == QLatin1String("gone")) QTRY_VERIFY_WITH_TIMEOUT(timecounter >= 1, 30000);
        if (end == QLatin1String("gone")) stopAgent();
        QTRY_VERIFY_WITH_TIMEOUT(!s_->alerts->alerts.empty() || !s_->log->lines.isEmpty(), 30000);
        const int polls = timecounter;
        QTest::qWait(1300);
        QCOMPARE(timecounter, polls);
        const bool gone = end == QLatin1String("gone");
        QCOMPARE(alertTitles(), gone ? QStringList() : QStringList{QStringLiteral("BrindleWave is running!")});
        QCOMPARE(lines(QString()),
                 gone ? QStringList{QStringLiteral("Download Brindlewave dmg file is not found!")} : QStringList());
        QCOMPARE(s_->c.btnInstall->isEnabled(), !gone);
        if (!gone) QCOMPARE(timecounter, counted ? 10 : 0);
    }
};

QTEST_MAIN(AppControllerTest)
#include "test_app_controller.moc"
