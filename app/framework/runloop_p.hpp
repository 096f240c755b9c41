// Internal: the cross-thread side of a run loop, used by workers (background reads, child
// watchers) that hand results back to the loop that started them.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

#include "app/framework/runloop.hpp"

namespace bwv::platform {

struct RunLoop::Inbox {
    struct Item {
        RunLoopModes modes;
        std::function<void()> work;
    };
    std::mutex mutex;
    QObject *receiver = nullptr;  // null once the loop has gone
    std::deque<Item> items;
    bool drainPosted = false;

    // Queues `work` for the loop; false (and `work` dropped) when the loop has gone.
    bool post(RunLoopModes modes, std::function<void()> work);
};

}  // namespace bwv::platform
