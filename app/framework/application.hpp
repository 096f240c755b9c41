// The application object, its main entry and the window operations the controller uses.
//
// A program's main() is one line:
//
//     int main(int argc, char *argv[]) {
//         return bwv::platform::applicationMain<AppController, Ui::MainWindow, QMainWindow>(argc, argv);
//     }
//
// applicationMain creates the QApplication, loads the window definition (the uic-generated
// Form's setupUi on a new, hidden Window), creates the Controller, lets it connect its
// outlets and actions (controller.connectOutlets(form, window)), makes it the application's
// delegate, calls its awakeFromNib() and runs the loop. Controller must derive from
// ApplicationDelegate and be default-constructible. The window is not shown by this; the
// controller decides. The controller is destroyed before the window, the window before
// the application.
#pragma once

#include <QApplication>
#include <QRect>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <type_traits>

namespace bwv::platform {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Called once outlets are connected, before the loop runs.
    virtual void awakeFromNib() {}
    // True: closing the last window ends the application.
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
};

class Application {
public:
    // The running application; nullptr outside applicationMain and tests that make one.
    static Application *shared();

    // Creates the QApplication. `argc` must outlive the object.
    Application(int &argc, char **argv);
    ~Application();
    Application(const Application &) = delete;
    Application &operator=(const Application &) = delete;

    void setDelegate(ApplicationDelegate *delegate);
    ApplicationDelegate *delegate() const { return delegate_; }

    // Calls the delegate's awakeFromNib, then runs the loop until terminate() or the last
    // window closes (when the delegate wants that). Returns the exit status, 0 after
    // terminate().
    int run();

    // Ends the application: the main loop and any pass of a nested run loop stop, and
    // run() returns 0. Called before the loop runs (e.g. from awakeFromNib), the loop is
    // never entered. Returns to the caller; code after it should do nothing more.
    void terminate();
    bool isTerminating() const { return terminating_; }

    // The process's arguments as given, the program path first.
    QStringList arguments() const;

private:
    std::unique_ptr<QApplication> app_;
    ApplicationDelegate *delegate_ = nullptr;
    bool terminating_ = false;
};

template <class Controller, class Form, class Window = QWidget>
int applicationMain(int argc, char *argv[]) {
    static_assert(std::is_base_of_v<ApplicationDelegate, Controller>, "the controller is the application's delegate");
    Application app(argc, argv);
    Window window;
    Form form;
    form.setupUi(&window);
    Controller controller;
    controller.connectOutlets(form, window);
    app.setDelegate(&controller);
    return app.run();
}

// Window levels: normal windows and the floating level (stays above ordinary windows).
inline constexpr int kNormalWindowLevel = 0;
inline constexpr int kFloatingWindowLevel = 3;

// Fits the window and its frame to the screen (fitWindowToScreen), then shows the window,
// raises it and gives it the keyboard focus.
void makeKeyAndOrderFront(QWidget *window);

// Fits the window, with its frame, into `available` (device-independent pixels; when empty,
// the available geometry of the window's screen, without panels and docks, at whatever scale
// factor): the definition's size and minimum give way first, then its layouts' margins and
// spacing as far as the contents need; texts and fonts never do. A window not placed yet, or
// whose frame would leave the area, is moved into it, its title bar first when the contents
// cannot fit at all. A later fit to a larger area gives the definition's margins back.
void fitWindowToScreen(QWidget *window, QRect available = {});

// Any level above normal keeps the window on top of ordinary windows.
void setWindowLevel(QWidget *window, int level);
int windowLevel(const QWidget *window);

}  // namespace bwv::platform
