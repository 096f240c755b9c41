// The application object: terminate() before and during the loop.
#include <QtTest>

#include "platform/qt/application.hpp"
#include "platform/qt/runloop.hpp"
#include "platform/qt/timer.hpp"

using namespace bwv::platform;

namespace {

struct Delegate : ApplicationDelegate {
    std::function<void()> onAwake;
    void awakeFromNib() override { onAwake(); }
};

}  // namespace

// QTEST_MAIN would make its own QApplication; these cases need the platform's.
int main(int argc, char *argv[]) {
    bool ok = true;
    {
        // Terminating from the awake hook never enters the loop.
        Application app(argc, argv);
        Delegate d;
        d.onAwake = [&] { app.terminate(); };
        app.setDelegate(&d);
        ok &= Application::shared() == &app && app.run() == 0;
    }
    ok &= Application::shared() == nullptr;
    {
        // Terminating from a timer ends the loop, and a runner's wait inside it stops too.
        Application app(argc, argv);
        Delegate d;
        bool nestedGaveUp = false;
        std::shared_ptr<Timer> keep;
        d.onAwake = [&] {
            keep = Timer::scheduledTimer(0.05, true, [&](Timer &t) {
                app.terminate();
                nestedGaveUp = !RunLoop::current().runModeBeforeDate(RunLoopMode::Default, 5.0);
                t.invalidate();
            });
        };
        app.setDelegate(&d);
        ok &= app.run() == 0 && nestedGaveUp;
    }
    std::fprintf(stderr, "%s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
