// What the controller test programs hold around each case: a private root with an installed
// client that may be replaced while it runs, TMPDIR inside it, the controller wired to a
// fresh window as if started from a chosen bundle and command line, and every alert and log
// line recorded.
#pragma once

#include <QDir>
#include <QFile>
#include <QWidget>
#include <QtTest>

#include <csignal>
#include <memory>

#include "app/AppController.h"
#include "support/recorders.hpp"
#include "support/temp_root.hpp"
#include "tests/app/UpdateLibraryDouble.h"
#include "ui_MainWindow.h"

namespace app_test {

inline const QString kSupportDir = QStringLiteral("/Library/Application Support/Tarvenel/BrindleWave");

// The endings of the application and the process are recorded instead of carried out.
class TestController : public AppController {
public:
    QString bundlePath = QStringLiteral("/Applications/BrindleWaveFullInstaller.app");
    QStringList arguments = {QStringLiteral("/Applications/BrindleWaveFullInstaller.app/Contents/MacOS/x")};
    int terminations = 0;
    int exitStatus = -1;

protected:
    QString mainBundlePath() const override { return bundlePath; }
    QStringList processArguments() const override { return arguments; }
    void terminateApplication() override { ++terminations; }
    void exitProcess(int status) override { exitStatus = status; }
};

class ControllerFixture {
protected:
    std::unique_ptr<bwv::test::TempRoot> rootDir_;
    QString root_;
    QByteArray tmpdir_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::MainWindow> form_;
    std::unique_ptr<TestController> c_;
    std::unique_ptr<bwv::test::ScopedAlertRecorder> alerts_;
    std::unique_ptr<bwv::test::ScopedLogRecorder> log_;

    QString write(const QString &rooted, const QByteArray &content, int mode = 0644) const {
        return rootDir_->writeFile(rooted.mid(1), content, mode);
    }
    QString read(const QString &rooted) const {
        QFile f(root_ + rooted);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString downloadDir() const { return root_ + QStringLiteral("/usertmp/bwvupdate"); }
    QStringList alertTitles() const {
        QStringList t;
        for (const auto &a : (*alerts_)->alerts) t << a.title;
        return t;
    }

    void setUp() {
        rootDir_ = std::make_unique<bwv::test::TempRoot>();
        root_ = rootDir_->path();
        rootDir_->makeDir(QStringLiteral("tmp"));
        rootDir_->makeDir(QStringLiteral("usertmp"));
        tmpdir_ = qgetenv("TMPDIR");
        qputenv("TMPDIR", (root_ + QStringLiteral("/usertmp/")).toUtf8());
        write(kSupportDir + QStringLiteral("/conf/bwvinfo"), "version=6.0.0\n");
        autoCheckMode = upgradeMode = bwvShutdownCancel = false;
        upret = nullptr;
        timecounter = 0;
        upd_double::reset();
        alerts_ = std::make_unique<bwv::test::ScopedAlertRecorder>();
        log_ = std::make_unique<bwv::test::ScopedLogRecorder>();
        window_ = std::make_unique<QWidget>();
        form_ = std::make_unique<Ui::MainWindow>();
        form_->setupUi(window_.get());
        c_ = std::make_unique<TestController>();
        c_->connectOutlets(*form_, *window_);
    }

    // The update timer goes first: it must not fire into a controller being torn down.
    void tearDown() {
        if (c_ && c_->updateTimer) c_->updateTimer->invalidate();
        c_.reset();
        form_.reset();
        window_.reset();
        log_.reset();
        alerts_.reset();
        std::signal(SIGTERM, SIG_DFL);
        tmpdir_.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmpdir_);
        rootDir_.reset();
    }
};

}  // namespace app_test
