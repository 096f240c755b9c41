#include <QtGlobal>

#include "app/AppController.h"
#include "platform/qt/application.hpp"
#include "ui_MainWindow.h"

int main(int argc, char *argv[]) {
    // A session without any display (a scheduled auto-check from a service, say) must
    // still reach the start-up checks instead of failing inside the windowing system.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return bwv::platform::applicationMain<AppController, Ui::MainWindow, QWidget>(argc, argv);
}
