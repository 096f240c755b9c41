#include "app/framework/controls.hpp"

#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace bwv::platform {

namespace {
// QProgressBar counts in integers; hundredths keep fractional progress visible.
constexpr double kScale = 100.0;

int scaled(double v) {
    const double s = std::round(v * kScale);
    return static_cast<int>(std::clamp(s, -2.0e9, 2.0e9));
}
}  // namespace

ProgressIndicator::ProgressIndicator(QProgressBar *bar) : bar_(bar) { update(); }

void ProgressIndicator::setIndeterminate(bool indeterminate) {
    indeterminate_ = indeterminate;
    update();
}

void ProgressIndicator::startAnimation() {
    animating_ = true;
    update();
}

void ProgressIndicator::stopAnimation() {
    animating_ = false;
    update();
}

void ProgressIndicator::setMinValue(double value) {
    min_ = value;
    update();
}

void ProgressIndicator::setMaxValue(double value) {
    max_ = value;
    update();
}

void ProgressIndicator::setDoubleValue(double value) {
    value_ = value;
    update();
}

void ProgressIndicator::update() {
    if (!bar_) return;
    if (indeterminate_) {
        if (animating_) {
            bar_->setRange(0, 0);  // Qt's busy indicator
        } else {
            bar_->setRange(0, 1);
            bar_->setValue(0);
        }
        return;
    }
    const int lo = scaled(std::min(min_, max_));
    const int hi = std::max(scaled(std::max(min_, max_)), lo + 1);
    bar_->setRange(lo, hi);
    bar_->setValue(std::clamp(scaled(value_), lo, hi));
}

}  // namespace bwv::platform
