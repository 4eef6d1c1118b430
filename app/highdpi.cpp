#include "app/highdpi.h"

#include <QApplication>
#include <QScreen>

#include <cmath>
#include <vector>

namespace {

constexpr qreal BaseDpi = 96;
constexpr qreal Step = 0.25;
// A display takes the next step once it is this share of the way there: a
// window a little small reads better than one a little large.
constexpr qreal StepUpShare = 0.6;

constexpr char ScreenFactorsVariable[] = "QT_SCREEN_SCALE_FACTORS";

// What each screen reports, unscaled. A probe of its own, as the toolkit
// fixes each screen's factor when the application object is made.
std::vector<qreal> screenDotsPerInch(int argc, char **argv)
{
    // The probe takes the toolkit's options out of the list it is given.
    std::vector<char *> arguments(argv, argv + argc);
    arguments.push_back(nullptr);
    int probeArgc = argc;
    const QGuiApplication probe(probeArgc, arguments.data());
    std::vector<qreal> dpis;
    for (const QScreen *screen : QGuiApplication::screens())
        dpis.push_back(screen->logicalDotsPerInch());
    return dpis;
}

// The snapped factors as the toolkit reads them, screen by screen; empty
// when no screen is scaled.
QByteArray screenFactors(int argc, char **argv)
{
    QByteArrayList factors;
    bool scaled = false;
    for (const qreal dpi : screenDotsPerInch(argc, argv)) {
        const qreal factor = snappedScaleFactor(dpi);
        scaled = scaled || factor != 1;
        factors << QByteArray::number(factor);
    }
    return scaled ? factors.join(';') : QByteArray();
}

} // namespace

qreal snappedScaleFactor(qreal dotsPerInch)
{
    const qreal steps = std::floor(dotsPerInch / BaseDpi / Step + (1 - StepUpShare));
    return qMax<qreal>(1, steps * Step);
}

std::unique_ptr<QApplication> makeScaledApplication(int &argc, char **argv)
{
    // The icons' @2x images, and sharp pixmaps at any scale.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // Factors the user set are the user's; otherwise the toolkit's own,
    // 1.04 at 100 dpi, give way to the snapped ones.
    if (qEnvironmentVariableIsSet(ScreenFactorsVariable) ||
        qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
        return std::make_unique<QApplication>(argc, argv);
    }
    const QByteArray factors = screenFactors(argc, argv);
    if (!factors.isEmpty())
        qputenv(ScreenFactorsVariable, factors);
    auto app = std::make_unique<QApplication>(argc, argv);
    // Read once made; programs the window starts must not inherit them.
    qunsetenv(ScreenFactorsVariable);
    return app;
}
