#include <QtGlobal>

#include "app/AppController.h"
#include "app/framework/application.hpp"
#include "ui_MainWindow.h"

namespace {

QtMessageHandler g_toolkitHandler = nullptr;

// The toolkit's own chatter (a missing runtime folder, a platform plug-in's remarks) is no
// message of the installer's: its lines go to the system log by themselves, and an ending
// that must be silent stays silent. Critical and fatal reports still get through.
void holdBackToolkitChatter(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
    g_toolkitHandler(type, context, text);
}

}  // namespace

int main(int argc, char *argv[]) {
    g_toolkitHandler = qInstallMessageHandler(holdBackToolkitChatter);
    // A session without any display (a scheduled auto-check from a service, say) must
    // still reach the start-up checks instead of failing inside the windowing system.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return bwv::platform::applicationMain<AppController, Ui::MainWindow, QWidget>(argc, argv);
}
