#include "support/recorders.hpp"

namespace bwv::test {

int RecordingAlertPresenter::runCriticalAlert(const platform::AlertRequest &request) {
    alerts.push_back(request);
    return answer;
}

ScopedAlertRecorder::ScopedAlertRecorder()
    : rec_(std::make_shared<RecordingAlertPresenter>()), previous_(platform::alertPresenter()) {
    platform::setAlertPresenter(rec_);
}

ScopedAlertRecorder::~ScopedAlertRecorder() { platform::setAlertPresenter(previous_); }

ScopedLogRecorder::ScopedLogRecorder()
    : rec_(std::make_shared<RecordingLogSink>()), previous_(platform::logSink()) {
    platform::setLogSink(rec_);
}

ScopedLogRecorder::~ScopedLogRecorder() { platform::setLogSink(previous_); }

}  // namespace bwv::test
