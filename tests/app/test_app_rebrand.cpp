// A rebranded deployment: the product name from the installed client's rebrand file reaches
// the title, every notice and every alert, while texts that do not spell the default name
// exactly stay as they are. The name is read once per process, hence a program of its own.
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <bwvutil/paths.h>

#include <csignal>
#include <memory>

#include "tests/app/ControllerHarness.h"
#include "tests/app/UpdateLibraryDouble.h"
#include "ui_MainWindow.h"

using namespace app_test;

class AppRebrandTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> rootDir_;
    QString root_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::MainWindow> form_;
    std::unique_ptr<TestController> c_;
    std::shared_ptr<RecordingPresenter> presenter_;
    std::shared_ptr<RecordingSink> sink_;

private slots:
    void initTestCase() {
        rootDir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/bwvrebrand-XXXXXX"));
        QVERIFY(rootDir_->isValid());
        root_ = rootDir_->path();
        writeFile(root_ + kSupportDir + QStringLiteral("/conf/rebrand_text.plist"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\">\n<dict>\n\t<key>ProductName</key>\n\t<string>Acme Secure</string>\n"
                  "</dict>\n</plist>\n");
        QDir().mkpath(root_ + QStringLiteral("/usertmp"));
        qputenv("TMPDIR", (root_ + QStringLiteral("/usertmp/")).toUtf8());
        bwv_set_root(root_.toUtf8().constData());
        presenter_ = std::make_shared<RecordingPresenter>();
        sink_ = std::make_shared<RecordingSink>();
        bwv::platform::setAlertPresenter(presenter_);
        bwv::platform::setLogSink(sink_);
    }

    void init() {
        autoCheckMode = upgradeMode = false;
        upret = nullptr;
        upd_double::reset();
        presenter_->alerts.clear();
        sink_->lines.clear();
        window_ = std::make_unique<QWidget>();
        form_ = std::make_unique<Ui::MainWindow>();
        form_->setupUi(window_.get());
        c_ = std::make_unique<TestController>();
        c_->connectOutlets(*form_, *window_);
    }

    void cleanup() {
        if (c_->updateTimer) c_->updateTimer->invalidate();
        c_.reset();
        form_.reset();
        window_.reset();
        std::signal(SIGTERM, SIG_DFL);
    }

    void cleanupTestCase() {
        bwv::platform::setAlertPresenter(nullptr);
        bwv::platform::setLogSink(nullptr);
        bwv_set_root(nullptr);
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
        QCOMPARE(presenter_->alerts.size(), 1);
        QCOMPARE(presenter_->alerts.first().title, QStringLiteral("Acme Secure Verification Failed!"));
        c_->shutdownBrindleWave();
        c_->handleNotification(nullptr);
        bwv::platform::Notification cancel;
        cancel.name = QStringLiteral("CancelBrindleWaveShutdown");
        c_->handleNotification(&cancel);
        QTRY_COMPARE_WITH_TIMEOUT(presenter_->alerts.size(), 2, 3000);
        QCOMPARE(presenter_->alerts.last().title, QStringLiteral("Acme Secure is running!"));
        QCOMPARE(presenter_->alerts.last().message, QStringLiteral("Please shutdown Acme Secure, then install again"));
    }
};

QTEST_MAIN(AppRebrandTest)
#include "test_app_rebrand.moc"
