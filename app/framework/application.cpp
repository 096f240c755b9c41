#include "app/framework/application.hpp"

#include <QVariant>

namespace bwv::platform {

namespace {
Application *g_shared = nullptr;
constexpr const char *kLevelProperty = "bwvWindowLevel";
}  // namespace

Application *Application::shared() { return g_shared; }

Application::Application(int &argc, char **argv) : app_(std::make_unique<QApplication>(argc, argv)) {
    g_shared = this;
}

Application::~Application() {
    if (g_shared == this) g_shared = nullptr;
}

void Application::setDelegate(ApplicationDelegate *delegate) { delegate_ = delegate; }

int Application::run() {
    if (delegate_) delegate_->awakeFromNib();
    if (terminating_) return 0;
    app_->setQuitOnLastWindowClosed(delegate_ && delegate_->applicationShouldTerminateAfterLastWindowClosed());
    const int rc = app_->exec();
    return terminating_ ? 0 : rc;
}

void Application::terminate() {
    terminating_ = true;
    // Stops the main loop and every nested loop running on this thread; before exec()
    // the flag alone keeps run() from entering the loop.
    QCoreApplication::exit(0);
}

QStringList Application::arguments() const { return QCoreApplication::arguments(); }

void makeKeyAndOrderFront(QWidget *window) {
    if (!window) return;
    window->show();
    window->raise();
    window->activateWindow();
}

void setWindowLevel(QWidget *window, int level) {
    if (!window) return;
    window->setProperty(kLevelProperty, level);
    const bool onTop = level > kNormalWindowLevel;
    if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) return;
    // Changing window flags hides a shown window; put it back as it was.
    const bool visible = window->isVisible();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (visible) window->show();
}

int windowLevel(const QWidget *window) {
    if (!window) return kNormalWindowLevel;
    const QVariant v = window->property(kLevelProperty);
    return v.isValid() ? v.toInt() : kNormalWindowLevel;
}

}  // namespace bwv::platform
