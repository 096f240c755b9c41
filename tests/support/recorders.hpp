// Recording stand-ins for the alert presenter and the log sink. While a Scoped* object
// lives, alerts and log lines go to it instead of a modal dialog and the system log.
#pragma once

#include <QStringList>

#include <memory>
#include <vector>

#include "app/framework/alert.hpp"
#include "app/framework/log.hpp"

namespace bwv::test {

class RecordingAlertPresenter : public platform::AlertPresenter {
public:
    int runCriticalAlert(const platform::AlertRequest &request) override {
        alerts.push_back(request);
        return answer;
    }

    std::vector<platform::AlertRequest> alerts;
    int answer = platform::kAlertDefaultReturn;  // what every alert answers
};

class RecordingLogSink : public platform::LogSink {
public:
    void logLine(const QString &line) override { lines << line; }
    QStringList lines;
};

// Installs a new R through Set while it lives, and puts back what Get answered before.
template <class R, class Base, std::shared_ptr<Base> (*Get)(), void (*Set)(std::shared_ptr<Base>)>
class ScopedRecorder {
public:
    ScopedRecorder() : rec_(std::make_shared<R>()), previous_(Get()) { Set(rec_); }
    ~ScopedRecorder() { Set(previous_); }
    ScopedRecorder(const ScopedRecorder &) = delete;
    ScopedRecorder &operator=(const ScopedRecorder &) = delete;

    R &operator*() const { return *rec_; }
    R *operator->() const { return rec_.get(); }

private:
    std::shared_ptr<R> rec_;
    std::shared_ptr<Base> previous_;
};

using ScopedAlertRecorder = ScopedRecorder<RecordingAlertPresenter, platform::AlertPresenter, platform::alertPresenter,
                                           platform::setAlertPresenter>;
using ScopedLogRecorder = ScopedRecorder<RecordingLogSink, platform::LogSink, platform::logSink, platform::setLogSink>;

}  // namespace bwv::test
