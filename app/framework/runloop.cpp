#include "app/framework/runloop.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>

#include "app/framework/application.hpp"
#include "app/framework/runloop_p.hpp"
#include "app/framework/timer.hpp"

namespace bwv::platform {

namespace {

const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct Holder;
thread_local Holder *t_holder = nullptr;

}  // namespace

// Lives on the loop's thread; receives the wake-ups and the Qt timers of the loop.
class RunLoopObject : public QObject {
public:
    explicit RunLoopObject(RunLoop *loop) : loop_(loop) {}
    ~RunLoopObject() override;

    bool event(QEvent *e) override {
        if (e->type() == kDrainEvent) {
            loop_->drain();
            return true;
        }
        return QObject::event(e);
    }

    void timerEvent(QTimerEvent *e) override {
        for (const auto &t : loop_->timers_) {
            if (t->timerId_ == e->timerId()) {
                std::shared_ptr<Timer> keep = t;
                keep->timeout();
                return;
            }
        }
    }

    RunLoop *loop_;
};

namespace {

struct Holder {
    RunLoopObject *object = nullptr;
    ~Holder() { delete object; }
};

}  // namespace

RunLoopObject::~RunLoopObject() {
    delete loop_;
    if (t_holder && t_holder->object == this) t_holder->object = nullptr;
}

bool RunLoop::Inbox::post(RunLoopModes modes, std::function<void()> work) {
    std::unique_lock lock(mutex);
    if (!receiver) {
        lock.unlock();
        work = nullptr;  // destroy the captures outside the lock
        return false;
    }
    items.push_back({modes, std::move(work)});
    if (!drainPosted) {
        drainPosted = true;
        QCoreApplication::postEvent(receiver, new QEvent(kDrainEvent));
    }
    return true;
}

RunLoop &RunLoop::current() {
    thread_local Holder holder;
    t_holder = &holder;
    if (!holder.object) {
        auto *loop = new RunLoop();
        auto *object = new RunLoopObject(loop);
        loop->object_ = object;
        {
            std::lock_guard lock(loop->inbox_->mutex);
            loop->inbox_->receiver = object;
        }
        // On the main thread the loop goes away with the application object, while the
        // event machinery it relies on still exists.
        QCoreApplication *app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread()) object->setParent(app);
        holder.object = object;
    }
    return *holder.object->loop_;
}

RunLoop::RunLoop() : inbox_(std::make_shared<Inbox>()) {}

RunLoop::~RunLoop() {
    std::deque<Inbox::Item> dropped;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->receiver = nullptr;
        dropped.swap(inbox_->items);
    }
    std::vector<std::shared_ptr<Timer>> timers;
    timers.swap(timers_);
    for (const auto &t : timers) {
        t->valid_ = false;
        t->loop_ = nullptr;
        t->timerId_ = 0;  // the Qt timers go with the loop's object
    }
}

RunLoopMode RunLoop::currentMode() const { return modes_.empty() ? RunLoopMode::Default : modes_.back(); }

void RunLoop::perform(RunLoopModes modes, std::function<void()> work) { inbox_->post(modes, std::move(work)); }

void RunLoop::scheduleDrain() {
    std::lock_guard lock(inbox_->mutex);
    if (!inbox_->items.empty() && !inbox_->drainPosted && inbox_->receiver) {
        inbox_->drainPosted = true;
        QCoreApplication::postEvent(inbox_->receiver, new QEvent(kDrainEvent));
    }
}

bool RunLoop::hasWorkFor(RunLoopMode mode) const {
    std::lock_guard lock(inbox_->mutex);
    return std::any_of(inbox_->items.begin(), inbox_->items.end(),
                       [mode](const Inbox::Item &i) { return i.modes.contains(mode); });
}

void RunLoop::drain() {
    size_t budget;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->drainPosted = false;
        budget = inbox_->items.size();
    }
    // One item at a time: an item may run a nested loop that must see the items queued
    // after it (a runner waiting inside a timer's callback waits for its own deliveries).
    while (budget-- > 0) {
        std::function<void()> work;
        {
            std::lock_guard lock(inbox_->mutex);
            const RunLoopMode mode = currentMode();
            auto it = std::find_if(inbox_->items.begin(), inbox_->items.end(),
                                   [mode](const Inbox::Item &i) { return i.modes.contains(mode); });
            if (it == inbox_->items.end()) break;
            work = std::move(it->work);
            inbox_->items.erase(it);
        }
        work();
    }
    if (hasWorkFor(currentMode())) scheduleDrain();
}

void RunLoop::addSource() { ++sources_; }
void RunLoop::removeSource() { --sources_; }

bool RunLoop::runMode(RunLoopMode mode, Clock::time_point limit) {
    if (Application *app = Application::shared(); app && app->isTerminating()) return false;
    if (sources_.load() <= 0 && !hasWorkFor(mode)) return false;

    modes_.push_back(mode);
    if (hasWorkFor(mode)) scheduleDrain();

    // A pass runs inside an action (a tool being waited for): user input stays queued
    // until the action has returned and the main loop picks it up, or a second press of a
    // button would start its action again inside the first.
    constexpr QEventLoop::ProcessEventsFlags kPassFlags = QEventLoop::ExcludeUserInputEvents;
    watchForReturnToMainLoop();
    ++passDepth_;
    const auto now = Clock::now();
    if (limit <= now) {
        QCoreApplication::processEvents(kPassFlags);
    } else {
        // The limit timer only has to wake the dispatcher; one pass ends after the first
        // batch of events it handles.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(limit - now).count();
        QTimer limitTimer;
        limitTimer.setSingleShot(true);
        limitTimer.setTimerType(Qt::PreciseTimer);
        limitTimer.start(static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000)));
        QCoreApplication::processEvents(kPassFlags | QEventLoop::WaitForMoreEvents);
    }

    if (--passDepth_ == 0) inputHeld_ = true;
    modes_.pop_back();
    if (hasWorkFor(currentMode())) scheduleDrain();
    return true;
}

// Qt's glib dispatcher only looks at queued window-system events when it has been woken
// since it last handled them; input it held back during a pass would otherwise wait for
// the next event from the window system (a later click or key), so the first iteration
// outside every pass wakes it once.
void RunLoop::watchForReturnToMainLoop() {
    if (awakeWatched_) return;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(object_->thread());
    if (!dispatcher) return;
    awakeWatched_ = true;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, object_, [this, dispatcher] {
        if (passDepth_ > 0 || !inputHeld_) return;
        inputHeld_ = false;
        dispatcher->wakeUp();
    });
}

bool RunLoop::runModeBeforeDate(RunLoopMode mode, double seconds_from_now) {
    const auto delta =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, seconds_from_now)));
    return runMode(mode, Clock::now() + delta);
}

RunLoop::ModeScope::ModeScope(RunLoopMode mode) : loop_(RunLoop::current()) {
    loop_.modes_.push_back(mode);
    if (loop_.hasWorkFor(mode)) loop_.scheduleDrain();
}

RunLoop::ModeScope::~ModeScope() {
    loop_.modes_.pop_back();
    if (loop_.hasWorkFor(loop_.currentMode())) loop_.scheduleDrain();
}

}  // namespace bwv::platform
