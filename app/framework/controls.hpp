// A progress indicator with the behaviour the controller expects of one, over a
// QProgressBar: determinate (a bar between minimum and maximum) or indeterminate, where
// an animating indeterminate indicator shows Qt's busy bar and a still one shows empty.
#pragma once

class QProgressBar;

namespace bwv::platform {

class ProgressIndicator {
public:
    // Starts indeterminate, still, range 0 to 100, value 0. `bar` is not owned; it may be
    // nullptr for an indicator without a view.
    explicit ProgressIndicator(QProgressBar *bar = nullptr);

    void setIndeterminate(bool indeterminate);
    bool isIndeterminate() const { return indeterminate_; }

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return animating_; }

    void setMinValue(double value);
    void setMaxValue(double value);
    // Values outside the range are shown clamped but kept as given.
    void setDoubleValue(double value);
    double minValue() const { return min_; }
    double maxValue() const { return max_; }
    double doubleValue() const { return value_; }

    QProgressBar *bar() const { return bar_; }

private:
    void update();

    QProgressBar *bar_;
    bool indeterminate_ = true;
    bool animating_ = false;
    double min_ = 0, max_ = 100, value_ = 0;
};

}  // namespace bwv::platform
