#include "app/highdpi.h"
#include "app/mainwindow.h"

#include "kvrversion.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Names the per-user settings folder, whatever the executable is called.
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    const std::unique_ptr<QApplication> app = makeScaledApplication(argc, argv);
    // Lets a Wayland or X11 desktop match the window to its entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KVR_APP_ID));
    MainWindow window;
    window.show();
    return app->exec();
}
