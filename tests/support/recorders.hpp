// Recording stand-ins for the alert presenter and the log sink. While a Scoped* object
// lives, alerts and log lines go to it instead of a modal dialog and the system log.
#pragma once

#include <QStringList>

#include <memory>
#include <vector>

#include "platform/qt/alert.hpp"
#include "platform/qt/log.hpp"

namespace bwv::test {

class RecordingAlertPresenter : public platform::AlertPresenter {
public:
    int runCriticalAlert(const platform::AlertRequest &request) override;

    std::vector<platform::AlertRequest> alerts;
    int answer = platform::kAlertDefaultReturn;  // what every alert answers
};

class RecordingLogSink : public platform::LogSink {
public:
    void logLine(const QString &line) override { lines << line; }
    QStringList lines;
};

class ScopedAlertRecorder {
public:
    ScopedAlertRecorder();
    ~ScopedAlertRecorder();
    ScopedAlertRecorder(const ScopedAlertRecorder &) = delete;
    ScopedAlertRecorder &operator=(const ScopedAlertRecorder &) = delete;

    RecordingAlertPresenter &operator*() const { return *rec_; }
    RecordingAlertPresenter *operator->() const { return rec_.get(); }

private:
    std::shared_ptr<RecordingAlertPresenter> rec_;
    std::shared_ptr<platform::AlertPresenter> previous_;
};

class ScopedLogRecorder {
public:
    ScopedLogRecorder();
    ~ScopedLogRecorder();
    ScopedLogRecorder(const ScopedLogRecorder &) = delete;
    ScopedLogRecorder &operator=(const ScopedLogRecorder &) = delete;

    RecordingLogSink &operator*() const { return *rec_; }
    RecordingLogSink *operator->() const { return rec_.get(); }

private:
    std::shared_ptr<RecordingLogSink> rec_;
    std::shared_ptr<platform::LogSink> previous_;
};

}  // namespace bwv::test
