// The application object: terminate() before and during the loop.
#include <QtTest>

#include "platform/qt/application.hpp"
#include "platform/qt/runloop.hpp"
#include "platform/qt/timer.hpp"

using namespace bwv::platform;

namespace {

struct Delegate : ApplicationDelegate {
    std::function<void()> onAwake;
    int awakened = 0;
    void awakeFromNib() override {
        ++awakened;
        if (onAwake) onAwake();
    }
};

}  // namespace

// QTEST_MAIN would make its own QApplication; these cases need the platform's.
int main(int argc, char *argv[]) {
    int failures = 0;
    auto check = [&](bool ok, const char *what) {
        if (!ok) {
            ++failures;
            std::fprintf(stderr, "FAIL: %s\n", what);
        }
    };

    {
        // Terminating from the awake hook never enters the loop.
        Application app(argc, argv);
        check(Application::shared() == &app, "the application is the shared one");
        Delegate d;
        d.onAwake = [&] { app.terminate(); };
        app.setDelegate(&d);
        check(app.run() == 0, "terminate before the loop gives status 0");
        check(d.awakened == 1, "the awake hook runs once");
    }
    check(Application::shared() == nullptr, "no shared application after it has gone");
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
        QElapsedTimer clock;
        clock.start();
        check(app.run() == 0, "terminate from the loop gives status 0");
        check(nestedGaveUp, "a nested pass answers false once terminating");
        check(clock.elapsed() < 4000, "the loop ended promptly");
        check(app.arguments().size() >= 1, "the arguments include the program path");
    }
    std::fprintf(stderr, "%s\n", failures ? "FAILED" : "PASSED");
    return failures ? 1 : 0;
}
