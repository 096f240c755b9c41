// A rebranded deployment: the product name from the installed client's rebrand file reaches
// the title, every notice and every alert, while texts that do not spell the default name
// exactly stay as they are. The name is read once per process, hence a program of its own.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>

#include "tests/app/ControllerFixture.h"
#include "tests/app/UpdateLibraryDouble.h"

using namespace app_test;

class AppRebrandTest : public QObject, ControllerFixture {
    Q_OBJECT

    std::unique_ptr<bwv::test::TempRoot> rootDir_;
    QString root_;
    std::optional<ScopedEnv> tmpdir_;

private slots:
    void initTestCase() {
        rootDir_ = std::make_unique<bwv::test::TempRoot>();
        QVERIFY(rootDir_->isValid());
        root_ = rootDir_->path();
        rootDir_->writeRebrandFile({{QStringLiteral("ProductName"), QStringLiteral("Acme Secure")}});
        // A client that may be replaced while it runs: an agent process of another test must
        // not turn the installation below into the "is running" alert.
        writeFile(root_ + kSupportDir + QStringLiteral("/conf/bwvinfo"), "version=6.0.0\n");
        QDir().mkpath(root_ + QStringLiteral("/usertmp"));
        tmpdir_.emplace("TMPDIR", (root_ + QStringLiteral("/usertmp/")).toUtf8());
        startRecording();
    }

    void init() {
        autoCheckMode = upgradeMode = false;
        upret = nullptr;
        upd_double::reset();
        presenter_->alerts.clear();
        sink_->lines.clear();
        openController();
    }

    void cleanup() {
        closeController();
        std::signal(SIGTERM, SIG_DFL);
    }

    void cleanupTestCase() {
        stopRecording();
        tmpdir_.reset();
        rootDir_.reset();
    }

    void theTitleAndNoticesCarryTheDeploymentsName() {
        upd_double::scriptPolls({upd_double::running(), upd_double::downloaded("/x/a.dmg", "7.5.0")});
        c_->bundlePath = QStringLiteral("/Applications/BrindleWaveInstaller.app");
        c_->awakeFromNib();
        QCOMPARE(window_->windowTitle(), QStringLiteral("Acme Secure VPN"));
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Downloading Acme Secure "));
        QTRY_COMPARE_WITH_TIMEOUT(c_->tfNotice->text(), QStringLiteral("Acme Secure VPN 7.5.0 is downloaded"), 4000);
    }

    void theCheckOutcomeCarriesTheDeploymentsName() {
        writeFile(root_ + kSupportDir + QStringLiteral("/bin/bwvupdate"), "#!/bin/sh\n", true);
        upd_double::scriptPolls({upd_double::checked(false, "")});
        c_->arguments << QStringLiteral("upgradeMode");
        c_->awakeFromNib();
        QCOMPARE(window_->windowTitle(), QStringLiteral("Acme Secure"));
        QCOMPARE(c_->tfNotice->text(), QStringLiteral("Acme Secure is up to date"));
        // The button title is looked up only, never rebranded.
        QCOMPARE(c_->btnCancel->text(), QStringLiteral("OK"));
    }

    void alertsCarryTheNameAndLogsKeepOtherSpellings() {
        c_->installBrindleWave(nullptr);
        QCOMPARE(sink_->lines, QStringList{QStringLiteral("Download Brindlewave dmg file is not found!")});
        QVERIFY(!c_->verifyPackage(root_ + QStringLiteral("/missing.mpkg")));
        QCOMPARE(static_cast<int>(presenter_->alerts.size()), 1);
        QCOMPARE(presenter_->alerts.front().title, QStringLiteral("Acme Secure Verification Failed!"));
        c_->shutdownBrindleWave();
        c_->handleNotification(nullptr);
        bwv::platform::Notification cancel;
        cancel.name = QStringLiteral("CancelBrindleWaveShutdown");
        c_->handleNotification(&cancel);
        QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(presenter_->alerts.size()), 2, 3000);
        QCOMPARE(presenter_->alerts.back().title, QStringLiteral("Acme Secure is running!"));
        QCOMPARE(presenter_->alerts.back().message, QStringLiteral("Please shutdown Acme Secure, then install again"));
    }
};

QTEST_MAIN(AppRebrandTest)
#include "test_app_rebrand.moc"
