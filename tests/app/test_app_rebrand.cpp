// A rebranded deployment: the product name from the installed client's rebrand file reaches
// the title, every notice and every alert, but no log line. The name is read once per
// process, hence a program of its own.
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

#include "platform/qt/bundle.hpp"
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
        // The program's bundle carries a German table; only the case that asks for it uses it.
        bwv::platform::Bundle::mainBundle().setLocale(QLocale(QLocale::English));
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

    void theRunningAlertCarriesTheName() {
        c_->shutdownBrindleWave();
        bwv::platform::Notification cancel;
        cancel.name = QStringLiteral("CancelBrindleWaveShutdown");
        c_->handleNotification(&cancel);
        QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(presenter_->alerts.size()), 1, 3000);
        QCOMPARE(presenter_->alerts.back().title, QStringLiteral("Acme Secure is running!"));
        QCOMPARE(presenter_->alerts.back().message, QStringLiteral("Please shutdown Acme Secure, then install again"));
    }

    // Log lines are fixed English texts with the maker's name, even where the table would
    // translate them; the alerts beside them speak the user's language and the deployment's
    // name.
    void logLinesStayEnglishUnderTheMakersName_data() {
        QTest::addColumn<QString>("image");    // installed from; none: nothing downloaded
        QTest::addColumn<QString>("package");  // verified on its own instead
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("alerts");
        QTest::newRow("nothing downloaded")
            << QString() << QString() << QStringList{QStringLiteral("Download Brindlewave dmg file is not found!")}
            << QStringList();
        QTest::newRow("attach fails")  // no hdiutil in the root
            << QStringLiteral("<root>/BrindleWave-7.5.0.dmg") << QString()
            << QStringList{QStringLiteral("Failed to run hdiutil: <root>/BrindleWave-7.5.0.dmg, <root>/tmp/<id>"),
                           QStringLiteral("Failed to extract files from BrindleWave dmg file!")}
            << QStringList();
        QTest::newRow("package refused")  // nor pkgutil
            << QString() << QStringLiteral("<root>/Install.mpkg")
            << QStringList{QStringLiteral("Failed to verify package")}
            << QStringList{QStringLiteral("Acme Secure-Überprüfung fehlgeschlagen!")};
    }
    void logLinesStayEnglishUnderTheMakersName() {
        QFETCH(QString, image);
        QFETCH(QString, package);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, alerts);
        bwv::platform::Bundle::mainBundle().setLocale(QLocale(QStringLiteral("de_DE")));
        image.replace(QStringLiteral("<root>"), root_);
        upd_result downloaded = upd_double::downloaded(image.toUtf8().constData(), "7.5.0");
        if (!package.isEmpty()) {
            c_->verifyPackage(package.replace(QStringLiteral("<root>"), root_));
        } else {
            if (!image.isEmpty()) upret = &downloaded;
            c_->installBrindleWave(nullptr);
            upret = nullptr;
        }
        static const QRegularExpression id(QStringLiteral("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"));
        QStringList logged;
        for (QString line : sink_->lines)
            logged << line.replace(root_, QStringLiteral("<root>")).replace(id, QStringLiteral("<id>"));
        QCOMPARE(logged, lines);
        QCOMPARE(alertTitles(), alerts);
    }
};

QTEST_MAIN(AppRebrandTest)
#include "test_app_rebrand.moc"
