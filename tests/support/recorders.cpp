#include "support/recorders.hpp"

namespace bwv::test {

int RecordingAlertPresenter::runCriticalAlert(const platform::AlertRequest &request) {
    alerts.push_back(request);
    return answer;
}

}  // namespace bwv::test
