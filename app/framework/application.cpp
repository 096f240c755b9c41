#include "app/framework/application.hpp"

#include <QLayout>
#include <QScreen>
#include <QStyle>
#include <QVariant>

#include <algorithm>

namespace bwv::platform {

namespace {
Application *g_shared = nullptr;
constexpr const char *kLevelProperty = "bwvWindowLevel";
constexpr const char *kDesignProperty = "bwvDesignSpacing";
constexpr const char *kDesignMinimumProperty = "bwvDesignMinimumSize";

// Until the window system has framed the window, a typical frame: a title bar and borders.
QMargins frameMargins(const QWidget *window) {
    const QRect frame = window->frameGeometry(), inner = window->geometry();
    if (frame != inner)
        return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                frame.bottom() - inner.bottom()};
    const QStyle *style = window->style();
    const int border = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, window);
    return {border, style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window) + border, border, border};
}

// Every layout of the window at `factor` of the margins and spacing its definition gave it.
void scaleSpacing(QWidget *window, double factor) {
    for (QLayout *layout : window->findChildren<QLayout *>()) {
        QVariant design = layout->property(kDesignProperty);
        if (!design.isValid()) {
            const QMargins m = layout->contentsMargins();
            design = QVariantList{m.left(), m.top(), m.right(), m.bottom(), layout->spacing()};
            layout->setProperty(kDesignProperty, design);
        }
        const QVariantList v = design.toList();
        const auto at = [&](int i) { return static_cast<int>(v.at(i).toInt() * factor); };
        layout->setContentsMargins(at(0), at(1), at(2), at(3));
        if (v.at(4).toInt() >= 0) layout->setSpacing(at(4));
    }
}

// The height the contents need at `width`, words wrapped.
int neededHeight(const QLayout *layout, int width) {
    const int least = layout->totalMinimumSize().height();
    return layout->hasHeightForWidth() ? std::max(least, layout->totalHeightForWidth(width)) : least;
}
}  // namespace

Application *Application::shared() { return g_shared; }

Application::Application(int &argc, char **argv) : app_(std::make_unique<QApplication>(argc, argv)) { g_shared = this; }

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
    fitWindowToScreen(window);
    window->show();
    window->raise();
    window->activateWindow();
}

void fitWindowToScreen(QWidget *window, QRect available) {
    if (!window) return;
    if (available.isEmpty()) {
        const QScreen *screen = window->screen();
        if (!screen) return;
        available = screen->availableGeometry();
    }
    const QMargins frame = frameMargins(window);
    const QSize room = available.size().shrunkBy(frame);
    QVariant designMinimum = window->property(kDesignMinimumProperty);
    if (!designMinimum.isValid()) {
        designMinimum = window->minimumSize();
        window->setProperty(kDesignMinimumProperty, designMinimum);
    }

    QSize need(0, 0);
    if (QLayout *layout = window->layout()) {
        for (const double factor : {1.0, 0.75, 0.5, 0.25, 0.0}) {
            scaleSpacing(window, factor);
            const int width = std::min(room.width(), std::max(layout->totalMinimumSize().width(), window->width()));
            need = QSize(layout->totalMinimumSize().width(), neededHeight(layout, width));
            if (need.width() <= room.width() && need.height() <= room.height()) break;
        }
    }
    // An explicit minimum overrides the layout's: it must never be below what the texts need.
    window->setMinimumSize(designMinimum.toSize().boundedTo(room).expandedTo(need));
    QSize size = window->size().boundedTo(room).expandedTo(window->minimumSize());
    if (const QLayout *layout = window->layout())
        size.setHeight(std::max(size.height(), neededHeight(layout, size.width())));
    window->resize(size);

    QRect outer(window->pos(), size.grownBy(frame));
    const bool placed = window->testAttribute(Qt::WA_Moved);
    if (!placed) outer.moveCenter(available.center());
    // The top left corner wins when even the contents are larger: the title bar stays reachable.
    const auto into = [](int at, int length, int start, int span) {
        return std::max(start, std::min(at, start + span - length));
    };
    outer.moveTo(into(outer.left(), outer.width(), available.left(), available.width()),
                 into(outer.top(), outer.height(), available.top(), available.height()));
    if (!placed || outer.topLeft() != window->pos()) window->move(outer.topLeft());
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
