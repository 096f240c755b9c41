#include "app/framework/timer.hpp"

#include <QObject>

#include <algorithm>
#include <cmath>
#include <limits>

namespace bwv::platform {

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, bool repeats, Target target, QVariant userInfo,
                                             RunLoopModes modes) {
    std::shared_ptr<Timer> t(new Timer());
    t->target_ = std::move(target);
    t->userInfo_ = std::move(userInfo);
    t->interval_ = interval;
    t->repeats_ = repeats;
    t->modes_ = modes.empty() ? RunLoopModes(RunLoopMode::Default) : modes;
    t->loop_ = &RunLoop::current();

    double ms = std::isfinite(interval) ? std::round(interval * 1000.0) : 1.0;
    ms = std::clamp(ms, 1.0, static_cast<double>(std::numeric_limits<int>::max()));
    t->timerId_ = t->loop_->object_->startTimer(static_cast<int>(ms), Qt::PreciseTimer);
    t->valid_ = t->timerId_ != 0;
    if (t->valid_) {
        t->loop_->timers_.push_back(t);
        t->loop_->addSource();
    }
    return t;
}

Timer::~Timer() = default;

void Timer::timeout() {
    if (!valid_) return;
    if (!repeats_) {
        // A one-shot timer fires once; stop the Qt timer before the target can run a
        // nested loop that would see it again.
        loop_->object_->killTimer(timerId_);
        timerId_ = 0;
    }
    if (modes_.contains(loop_->currentMode())) {
        runTarget();
        return;
    }
    // Not allowed in the mode being served (a modal alert is open): fire once when the
    // loop serves an allowed mode again, however many intervals passed meanwhile.
    if (deferred_) return;
    deferred_ = true;
    loop_->perform(modes_, [weak = weak_from_this()] {
        if (auto t = weak.lock()) {
            t->deferred_ = false;
            if (t->valid_) t->runTarget();
        }
    });
}

void Timer::runTarget() {
    std::shared_ptr<Timer> keep = shared_from_this();
    if (target_) target_(*this);
    if (!repeats_) invalidate();
}

void Timer::fire() {
    if (!valid_) return;
    runTarget();
}

void Timer::invalidate() {
    if (!valid_) return;
    std::shared_ptr<Timer> keep = shared_from_this();
    valid_ = false;
    if (loop_) {
        if (timerId_ != 0) loop_->object_->killTimer(timerId_);
        timerId_ = 0;
        loop_->removeSource();
        auto &ts = loop_->timers_;
        ts.erase(std::remove(ts.begin(), ts.end(), keep), ts.end());
    }
    // `keep` lets the last reference go only after the members were touched.
}

}  // namespace bwv::platform
