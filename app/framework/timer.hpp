// Scheduled timers on the current run loop.
//
// A scheduled timer is kept alive by its run loop until it is invalidated, so a holder may
// keep a plain (or weak) reference just as the controller keeps `updateTimer`. The target
// callback receives the timer that fired.
#pragma once

#include <QVariant>

#include <functional>
#include <memory>

#include "app/framework/runloop.hpp"

namespace bwv::platform {

class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Target = std::function<void(Timer &)>;

    // Schedules a timer on the calling thread's run loop in `modes` (default mode unless
    // told otherwise). The first firing comes `interval` seconds from now; a repeating
    // timer then fires every `interval` seconds until invalidated, a one-shot timer is
    // invalidated after its firing. Intervals are counted in whole milliseconds, at
    // least one.
    static std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, Target target, QVariant userInfo = {},
                                                 RunLoopModes modes = RunLoopMode::Default);

    ~Timer();
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    // Runs the target now, whatever the mode, without moving the next scheduled firing.
    // A one-shot timer is invalidated by it; firing an invalid timer does nothing.
    void fire();

    // Stops the timer for good and releases the run loop's reference. Safe to call from
    // the timer's own target and more than once.
    void invalidate();

    // True from scheduling until invalidation.
    bool isValid() const { return valid_; }

    double timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    const QVariant &userInfo() const { return userInfo_; }

private:
    Timer() = default;
    void timeout();
    void runTarget();

    friend class RunLoop;
    friend class RunLoopObject;

    Target target_;
    QVariant userInfo_;
    double interval_ = 0;
    bool repeats_ = false;
    bool valid_ = false;
    bool deferred_ = false;  // a firing waits for an allowed mode
    RunLoopModes modes_;
    RunLoop *loop_ = nullptr;
    int timerId_ = 0;  // the Qt timer on the loop's object
};

}  // namespace bwv::platform
