#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/mainwindow.h"

namespace {

// Whether the toolkit was told which platform to draw on: the environment or -platform.
bool platformGiven(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a display the toolkit aborts with advice to reinstall; an operator on a
    // server is better served by a word on what is missing and the program that needs none.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && !platformGiven(argc, argv)) {
        std::fputs("chartransfer: no graphical display (DISPLAY and WAYLAND_DISPLAY are not set); "
                   "on a server use chartransfer-cli\n",
                stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // Lets desktops match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("chartransfer"));
    MainWindow window;
    window.show();
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, &QCoreApplication::quit);
    return app.exec();
}
