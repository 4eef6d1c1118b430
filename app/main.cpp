#include "app/highdpi.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Names the per-user settings folder, whatever the executable is called.
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    const std::unique_ptr<QApplication> app = makeScaledApplication(argc, argv);
    MainWindow window;
    window.show();
    return app->exec();
}
