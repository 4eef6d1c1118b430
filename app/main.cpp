#include "app/highdpi.h"
#include "app/mainwindow.h"

#include "kvrversion.h"
#include "settings/language.h"
#include "settings/settingsfile.h"
#include "settings/windowoptions.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Names the per-user settings folder, whatever the executable is called.
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    const std::unique_ptr<QApplication> app = makeScaledApplication(argc, argv);
    // Lets a Wayland or X11 desktop match the window to its entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KVR_APP_ID));
    const WindowOptions options = WindowOptions::parse(QCoreApplication::arguments());
    if (!options.error.isEmpty())
        std::fprintf(stderr, "kvr-file-transfer: %s\n", qUtf8Printable(options.error));
    // Before the first widget, whose texts are translated as it is made.
    const QString settings = SettingsFile::path(QCoreApplication::applicationDirPath());
    const QString language =
        Language::choose(options.language, SettingsFile::read(settings).language);
    if (!Language::install(language))
        std::fprintf(stderr, "kvr-file-transfer: no translation for %s\n",
                     qUtf8Printable(language));
    MainWindow window;
    if (options.appearance)
        window.showLookForThisRun(*options.appearance);
    window.show();
    return app->exec();
}
