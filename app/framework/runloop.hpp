// The run loop of a thread, carried by the Qt event loop.
//
// Everything the platform reports asynchronously (timers, the end of a background read, the
// end of a child process, distributed notifications) is delivered on the run loop of the
// thread that started it, between other events. Deliveries carry the modes they may run in:
// while a modal alert runs (mode ModalPanel), default-mode work such as poll timers waits
// until the alert is gone, as it would on the system the installer was designed for.
//
// A QCoreApplication (or QApplication) must exist before a run loop is used.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class QObject;

namespace bwv::platform {

class Timer;

enum class RunLoopMode : unsigned {
    Default = 1u << 0,
    ModalPanel = 1u << 1,
    EventTracking = 1u << 2,
};

// A set of modes, e.g. RunLoopModes{RunLoopMode::Default, RunLoopMode::ModalPanel}.
class RunLoopModes {
public:
    constexpr RunLoopModes() = default;
    constexpr RunLoopModes(RunLoopMode m) : bits_(static_cast<unsigned>(m)) {}
    constexpr RunLoopModes(std::initializer_list<RunLoopMode> ms) {
        for (RunLoopMode m : ms) bits_ |= static_cast<unsigned>(m);
    }
    constexpr bool contains(RunLoopMode m) const { return bits_ & static_cast<unsigned>(m); }
    constexpr bool empty() const { return bits_ == 0; }

    // Default, ModalPanel and EventTracking: what background reads ask for.
    static constexpr RunLoopModes all() {
        return {RunLoopMode::Default, RunLoopMode::ModalPanel, RunLoopMode::EventTracking};
    }

private:
    unsigned bits_ = 0;
};

class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    // The calling thread's run loop, created on first use. On the main thread it is owned
    // by the application object and goes away with it.
    static RunLoop &current();

    ~RunLoop();
    RunLoop(const RunLoop &) = delete;
    RunLoop &operator=(const RunLoop &) = delete;

    // One pass of the loop in `mode`: waits until at least one event has been handled or
    // `limit` has passed, whichever comes first. Answers false at once, without waiting,
    // when nothing could ever wake the loop (no valid timer, no pending background read, no
    // child being watched, no queued delivery), or when the application is terminating.
    // A pass never delivers user input: presses and keys stay queued for the main loop,
    // which sees them once the action that runs the pass has returned.
    bool runMode(RunLoopMode mode, Clock::time_point limit);

    // The same with the limit given as seconds from now ("before date").
    bool runModeBeforeDate(RunLoopMode mode, double seconds_from_now);

    // The mode the loop is serving now: Default unless a pass or a ModeScope says otherwise.
    RunLoopMode currentMode() const;

    // Queues `work` to run on this loop's thread the next time the loop serves one of
    // `modes`. Callable from any thread; work queued after the loop has gone is dropped.
    void perform(RunLoopModes modes, std::function<void()> work);

    // Marks the current mode for the duration of a nested loop the platform does not run
    // itself (a modal dialog's exec()).
    class ModeScope {
    public:
        explicit ModeScope(RunLoopMode mode);
        ~ModeScope();
        ModeScope(const ModeScope &) = delete;
        ModeScope &operator=(const ModeScope &) = delete;

    private:
        RunLoop &loop_;
    };

    // Sources that can wake the loop. Timers, background reads and child watchers count
    // themselves in while pending; runMode answers false when the count is zero.
    void addSource();
    void removeSource();
    int sourceCount() const { return sources_.load(); }

    // The loop's cross-thread queue, for workers that may outlive the loop: work handed
    // to it after the loop has gone is dropped (see runloop_p.hpp).
    struct Inbox;
    std::shared_ptr<Inbox> inbox() const { return inbox_; }

private:
    RunLoop();
    void drain();
    void scheduleDrain();
    bool hasWorkFor(RunLoopMode mode) const;
    void watchForReturnToMainLoop();

    friend class RunLoopObject;
    friend class Timer;
    std::shared_ptr<Inbox> inbox_;
    std::atomic<int> sources_{0};
    std::vector<RunLoopMode> modes_;
    std::vector<std::shared_ptr<Timer>> timers_;  // scheduled timers, kept alive
    QObject *object_ = nullptr;                   // receives wake-up and timer events on the loop's thread
    int passDepth_ = 0;                           // runMode passes in progress on this thread
    bool inputHeld_ = false;                      // a pass has ended; user input may wait in the queue
    bool awakeWatched_ = false;
};

}  // namespace bwv::platform
