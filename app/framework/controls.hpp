// A progress indicator with the behaviour the controller expects of one, over a
// QProgressBar: determinate (a bar between minimum and maximum) or indeterminate, where
// an animating indeterminate indicator shows Qt's busy bar and a still one shows empty.
// And the buttons' key equivalents: the keys that press a button from anywhere in its window.
#pragma once

class QProgressBar;
class QPushButton;

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

// Return (and Enter) press the window's default button, Escape its cancel button.
enum KeyEquivalent : unsigned { kNoKeyEquivalent = 0, kReturnKey = 1u << 0, kEscapeKey = 1u << 1 };

// Gives `button` the keys that press it, as a click would, wherever the focus is in its
// window; a Return button is drawn as the default. A key presses the first visible, enabled
// button of the window that has it, in the order the buttons first got keys, or nothing. Each
// time such a button is shown, hidden, enabled or disabled, the keyboard focus goes to the
// window's default button, or to the window itself when none is usable, so Space presses what
// Return would and no more. A held key presses once.
void setKeyEquivalents(QPushButton *button, unsigned keys);
unsigned keyEquivalents(const QPushButton *button);

}  // namespace bwv::platform
