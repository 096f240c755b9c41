// What the controller test programs hold around each case: the controller wired to a
// fresh window, every alert and log line recorded, and environment changes undone after.
#pragma once

#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

#include "tests/app/ControllerHarness.h"
#include "ui_MainWindow.h"

namespace app_test {

// An environment variable set for as long as this lives; the earlier value (or its
// absence) comes back afterwards. Held in an optional so emplace restores before it sets.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value) : name_(name), earlier_(qgetenv(name)) {
        qputenv(name_, value);
    }
    ~ScopedEnv() {
        if (earlier_.isNull())
            qunsetenv(name_);
        else
            qputenv(name_, earlier_);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    QByteArray earlier_;
};

class ControllerFixture {
protected:
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::MainWindow> form_;
    std::unique_ptr<TestController> c_;
    std::unique_ptr<bwv::test::ScopedAlertRecorder> alertRecorder_;
    std::unique_ptr<bwv::test::ScopedLogRecorder> logRecorder_;
    bwv::test::RecordingAlertPresenter *presenter_ = nullptr;
    bwv::test::RecordingLogSink *sink_ = nullptr;

    void startRecording() {
        alertRecorder_ = std::make_unique<bwv::test::ScopedAlertRecorder>();
        logRecorder_ = std::make_unique<bwv::test::ScopedLogRecorder>();
        presenter_ = &**alertRecorder_;
        sink_ = &**logRecorder_;
    }

    void stopRecording() {
        logRecorder_.reset();
        alertRecorder_.reset();
        presenter_ = nullptr;
        sink_ = nullptr;
    }

    void openController() {
        window_ = std::make_unique<QWidget>();
        form_ = std::make_unique<Ui::MainWindow>();
        form_->setupUi(window_.get());
        c_ = std::make_unique<TestController>();
        c_->connectOutlets(*form_, *window_);
    }

    // The update timer goes first: it must not fire into a controller being torn down.
    void closeController() {
        if (c_ && c_->updateTimer) c_->updateTimer->invalidate();
        c_.reset();
        form_.reset();
        window_.reset();
    }

    QStringList alertTitles() const {
        QStringList t;
        for (const auto &a : presenter_->alerts) t << a.title;
        return t;
    }
};

}  // namespace app_test
