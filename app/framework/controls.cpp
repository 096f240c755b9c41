#include "app/framework/controls.hpp"

#include <QEvent>
#include <QKeySequence>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <vector>

namespace bwv::platform {

namespace {
// QProgressBar counts in integers; hundredths keep fractional progress visible.
constexpr double kScale = 100.0;

int scaled(double v) {
    const double s = std::round(v * kScale);
    return static_cast<int>(std::clamp(s, -2.0e9, 2.0e9));
}

constexpr const char *kKeysProperty = "bwvKeyEquivalents";
constexpr const char *kTableName = "bwvKeyEquivalentTable";

// One per window: its shortcuts, which come before any widget's own handling of the key,
// and the buttons that have keys, in the order they got them.
class KeyEquivalentTable : public QObject {
public:
    explicit KeyEquivalentTable(QWidget *window) : QObject(window), window_(window) {
        setObjectName(QLatin1String(kTableName));
        const std::pair<QKeySequence, unsigned> keys[] = {
            {QKeySequence(Qt::Key_Return), kReturnKey},
            {QKeySequence(Qt::Key_Enter), kReturnKey},
            {QKeySequence(Qt::KeypadModifier | Qt::Key_Enter), kReturnKey},
            {QKeySequence(Qt::Key_Escape), kEscapeKey}};
        for (const auto &[sequence, key] : keys) {
            auto *shortcut = new QShortcut(sequence, window);
            shortcut->setAutoRepeat(false);
            connect(shortcut, &QShortcut::activated, this, [this, key = key] {
                if (QPushButton *button = usable(key)) button->click();
            });
        }
        window->installEventFilter(this);
    }

    static KeyEquivalentTable *of(QWidget *window) {
        QObject *found = window->findChild<QObject *>(QLatin1String(kTableName), Qt::FindDirectChildrenOnly);
        return found ? static_cast<KeyEquivalentTable *>(found) : new KeyEquivalentTable(window);
    }

    void add(QPushButton *button) {
        if (std::find(buttons_.begin(), buttons_.end(), button) == buttons_.end()) {
            buttons_.emplace_back(button);
            button->installEventFilter(this);
        }
        scheduleFocus();
    }

    bool eventFilter(QObject *, QEvent *event) override {
        switch (event->type()) {
            case QEvent::Show:
            case QEvent::Hide:
            case QEvent::ShowToParent:
            case QEvent::HideToParent:
            case QEvent::EnabledChange:
                scheduleFocus();
                break;
            default:
                break;
        }
        return false;
    }

private:
    QPushButton *usable(unsigned key) const {
        for (const QPointer<QPushButton> &b : buttons_)
            if (b && (keyEquivalents(b) & key) && b->isVisible() && b->isEnabled()) return b;
        return nullptr;
    }

    // After the change is complete: Qt itself moves the focus off a button being hidden or
    // disabled only after telling of it, and a state change touches several buttons.
    void scheduleFocus() {
        if (focusPending_) return;
        focusPending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                focusPending_ = false;
                QWidget *target = usable(kReturnKey);
                if (!target) target = window_;
                if (window_->focusWidget() != target) target->setFocus(Qt::OtherFocusReason);
            },
            Qt::QueuedConnection);
    }

    QWidget *window_;
    std::vector<QPointer<QPushButton>> buttons_;
    bool focusPending_ = false;
};
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

void setKeyEquivalents(QPushButton *button, unsigned keys) {
    if (!button) return;
    button->setProperty(kKeysProperty, keys);
    button->setDefault((keys & kReturnKey) != 0);
    KeyEquivalentTable::of(button->window())->add(button);
}

unsigned keyEquivalents(const QPushButton *button) {
    return button ? button->property(kKeysProperty).toUInt() : kNoKeyEquivalent;
}

}  // namespace bwv::platform
