// The application object: terminate() before and during the loop.
#include <QtTest>

#include "app/framework/application.hpp"
#include "app/framework/runloop.hpp"
#include "app/framework/timer.hpp"

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
    // Terminating from the awake hook never enters the loop; terminating from a timer ends
    // it, and a runner's wait inside it stops too.
    for (bool fromTimer : {false, true}) {
        Application app(argc, argv);
        Delegate d;
        bool nestedGaveUp = !fromTimer;
        std::shared_ptr<Timer> keep;
        d.onAwake = [&] {
            if (!fromTimer) return app.terminate();
            keep = Timer::scheduledTimer(0.05, true, [&](Timer &t) {
                app.terminate();
                nestedGaveUp = !RunLoop::current().runModeBeforeDate(RunLoopMode::Default, 5.0);
                t.invalidate();
            });
        };
        app.setDelegate(&d);
        ok &= Application::shared() == &app && app.run() == 0 && nestedGaveUp;
    }
    ok &= Application::shared() == nullptr;
    std::fprintf(stderr, "%s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
