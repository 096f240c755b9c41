#include "app/AppController.h"
#include "platform/qt/application.hpp"
#include "ui_MainWindow.h"

int main(int argc, char *argv[]) {
    return bwv::platform::applicationMain<AppController, Ui::MainWindow, QWidget>(argc, argv);
}
