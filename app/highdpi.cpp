#include "app/highdpi.h"

#include <QCoreApplication>
#include <QGuiApplication>

void enableHighDpiScaling()
{
    // The form places its widgets at fixed pixels; unscaled, only the fonts
    // grew with the display and clipped the texts.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // The icons' @2x images, and sharp pixmaps at any scale.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // 150 % scales by 1.5, not by 2.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}
