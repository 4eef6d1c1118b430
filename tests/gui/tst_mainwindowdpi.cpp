// The window on a display scaled to 150 %, as Windows laptops often are, or
// an X server at 144 dpi: the fonts grow, so must what holds them.

#include "app/highdpi.h"
#include "windowtest.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QtTest>

namespace {

// What the platform reports for a display at 150 %.
constexpr char ScaledDpi[] = "144";

} // namespace

class TestMainWindowDpi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void scalesByOneAndAHalf();
    void snapsToWindowsSteps_data();
    void snapsToWindowsSteps();
    void textsFit_data();
    void textsFit();
    void toolBarIconsHaveDoubleImages_data();
    void toolBarIconsHaveDoubleImages();

private:
    std::unique_ptr<MainWindow> m_window;
};

void TestMainWindowDpi::init()
{
    WindowTest::writeSettings({{QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}});
    m_window = std::make_unique<MainWindow>();
    // Laid out as shown. Offscreen under Wine, a window is never exposed.
    m_window->show();
}

void TestMainWindowDpi::cleanup()
{
    m_window.reset();
}

// Not rounded to 2, which would make the window a third larger than asked;
// its width in pixels is half as much again as at 100 %.
void TestMainWindowDpi::scalesByOneAndAHalf()
{
    QCOMPARE(m_window->devicePixelRatioF(), 1.5);
    QCOMPARE(m_window->width(), 544);
}

void TestMainWindowDpi::snapsToWindowsSteps_data()
{
    QTest::addColumn<qreal>("dpi");
    QTest::addColumn<qreal>("factor");
    // Xvfb's default: 1.04 blurred the icons and moved the controls.
    QTest::newRow("100") << 100.0 << 1.0;
    QTest::newRow("96") << 96.0 << 1.0;
    QTest::newRow("88") << 88.0 << 1.0;
    QTest::newRow("110") << 110.0 << 1.0;
    QTest::newRow("72, never smaller") << 72.0 << 1.0;
    QTest::newRow("120") << 120.0 << 1.25;
    QTest::newRow("144") << 144.0 << 1.5;
    QTest::newRow("150") << 150.0 << 1.5;
    QTest::newRow("168") << 168.0 << 1.75;
    QTest::newRow("192") << 192.0 << 2.0;
    QTest::newRow("288") << 288.0 << 3.0;
}

void TestMainWindowDpi::snapsToWindowsSteps()
{
    QFETCH(qreal, dpi);
    QFETCH(qreal, factor);
    QCOMPARE(snappedScaleFactor(dpi), factor);
}

void TestMainWindowDpi::textsFit_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"label", "testBtn", "fileTransmitBtn", "stopSendBtn", "clearTextBtn"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// Clipped, the prompt read "请输入KVR控制器I"; the buttons' texts ran edge
// to edge.
void TestMainWindowDpi::textsFit()
{
    QFETCH(QString, name);
    const auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QString text = widget->property("text").toString();
    int room = widget->contentsRect().width();
    if (qobject_cast<const QPushButton *>(widget))
        room -= 2 * widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
    const int needed = widget->fontMetrics().horizontalAdvance(text);
    QVERIFY2(
        needed <= room,
        qPrintable(QStringLiteral("%1 needs %2 px, has %3 px").arg(text).arg(needed).arg(room)));
}

void TestMainWindowDpi::toolBarIconsHaveDoubleImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("side");
    QTest::newRow("act_connect") << QStringLiteral("act_connect") << 512;
    QTest::newRow("act_disconnect") << QStringLiteral("act_disconnect") << 650;
    QTest::newRow("act_autoReconnect") << QStringLiteral("act_autoReconnect") << 512;
    QTest::newRow("act_transferList") << QStringLiteral("act_transferList") << 512;
}

// Above 100 % each toolbar icon also takes its image drawn at twice the size.
void TestMainWindowDpi::toolBarIconsHaveDoubleImages()
{
    QFETCH(QString, name);
    QFETCH(int, side);
    const auto *action = m_window->findChild<QAction *>(name);
    QVERIFY(action);
    QCOMPARE(action->icon().availableSizes(),
             (QList<QSize>{QSize(side, side), QSize(2 * side, 2 * side)}));
}

// The scaling is set up before the application object, as main() does.
int main(int argc, char *argv[])
{
    qputenv("QT_FONT_DPI", ScaledDpi);
    const std::unique_ptr<QApplication> app = makeScaledApplication(argc, argv);
    TestMainWindowDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindowdpi.moc"
