// The window's form and icons: object names, places, texts, the toolbar, the
// slots bound by name, and the images in the resource collection. Most checks
// use the bare form, since the window's constructor changes a few properties.

#include "ui_mainwindow.h"

#include "windowtest.h"

#include <QDir>
#include <QImageReader>
#include <QMenuBar>
#include <QMetaMethod>
#include <QtTest>

#include <memory>

namespace {

struct Form
{
    Form() { ui.setupUi(&window); }
    Ui::MainWindow ui;
    QMainWindow window;
};

QString iconPath(const QString &file)
{
    return QStringLiteral(":/res/icons/") + file;
}

// Pixmaps are premultiplied; compare in that format so rounding cannot differ.
QImage premultiplied(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool iconShowsFile(const QIcon &icon, const QString &file)
{
    const QImage expected(iconPath(file));
    if (expected.isNull())
        return false;
    return premultiplied(icon.pixmap(expected.size()).toImage()) == premultiplied(expected);
}

QString logLine(const char *text)
{
    return QString::fromUtf8(text);
}

// File name and side in pixels of the square images under :/res/icons/.
QList<QPair<QString, int>> formIcons()
{
    const auto icon = [](const char *file, int side) {
        return qMakePair(QString::fromUtf8(file), side);
    };
    return {icon("停止监听.png", 512), icon("清除文本.png", 512), icon("fileSend.png", 512),
            icon("disconnect.png", 650), icon("connect.png", 512), icon("autoReconnect.png", 512),
            icon("transferList.png", 512), icon("settings.png", 512), icon("开始监听.png", 512),
            icon("client.png", 512), icon("test.png", 700), icon("server.png", 512),
            // The toolbar's, drawn at twice the size for scaled displays.
            icon("connect@2x.png", 1024), icon("disconnect@2x.png", 1300),
            icon("autoReconnect@2x.png", 1024), icon("transferList@2x.png", 1024),
            icon("settings@2x.png", 1024)};
}

} // namespace

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void widgets_data();
    void widgets();
    void window();
    void actions_data();
    void actions();
    void toolBar();
    void pagesAndButtonRow();
    void bufferSizeRange();
    void nameBoundSlots_data();
    void nameBoundSlots();
    void unboundActionsDoNothing();
    void icons_data();
    void icons();
    void iconCollectionHoldsNoOtherFiles();
};

void TestMainWindowForm::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QString>("parent");
    // A null rectangle: placed by a layout or by the window.
    QTest::addColumn<QRect>("geometry");
    // Compared only for widgets that have a "text" property.
    QTest::addColumn<QString>("text");

    const auto row = [](const char *name, const char *type, const char *parent, QRect geometry,
                        const char *text = "") {
        QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(type)
                            << QString::fromLatin1(parent) << geometry << QString::fromUtf8(text);
    };
    row("centralwidget", "QWidget", "MainWindow", QRect());
    row("textEdit", "QTextEdit", "centralwidget", QRect(9, 69, 531, 211));
    row("stackedWidget", "QStackedWidget", "centralwidget", QRect(1210, 10, 410, 40));
    row("page", "QWidget", "stackedWidget", QRect());
    row("label_2", "QLabel", "page", QRect(), "客户端:");
    row("clientcomBox", "QComboBox", "page", QRect());
    row("page_2", "QWidget", "stackedWidget", QRect());
    row("layoutWidget", "QWidget", "centralwidget", QRect(0, 290, 541, 41));
    row("testBtn", "QPushButton", "layoutWidget", QRect(), "测试连接");
    row("fileTransmitBtn", "QPushButton", "layoutWidget", QRect(), "文件传输");
    row("stopSendBtn", "QPushButton", "layoutWidget", QRect(), "停止传输");
    row("clearTextBtn", "QPushButton", "layoutWidget", QRect(), "清理信息");
    row("chooseDirBtn", "QPushButton", "centralwidget", QRect(2230, 10, 75, 23), "接收目录");
    row("dirShowLineEdit", "QLineEdit", "centralwidget", QRect(2230, 11, 133, 20));
    row("label_4", "QLabel", "centralwidget", QRect(2230, 10, 42, 16), "缓冲区:");
    row("spinBox_bufferSize", "QSpinBox", "centralwidget", QRect(2230, 11, 60, 20), "12000");
    row("serverAddressLineEdit", "QLineEdit", "centralwidget", QRect(210, 20, 331, 41),
        "192.168.1.100");
    row("label", "QLabel", "centralwidget", QRect(10, 19, 181, 41), "请输入KVR控制器IP:");
    row("label_3", "QLabel", "centralwidget", QRect(1223, 41, 42, 16), "本地IP:");
    row("localIpComBox", "QComboBox", "centralwidget", QRect(2216, 41, 69, 20));
    row("statusbar", "QStatusBar", "MainWindow", QRect());
    row("toolBar", "QToolBar", "MainWindow", QRect());
}

void TestMainWindowForm::widgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, type);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    Form form;
    const QWidget *widget = form.window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QByteArray(widget->metaObject()->className()), type);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
    if (widget->metaObject()->indexOfProperty("text") >= 0)
        QCOMPARE(widget->property("text").toString(), text);
}

void TestMainWindowForm::window()
{
    Form form;
    QMainWindow &window = form.window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(544, 410));
    QCOMPARE(window.maximumSize(), QSize(9999, 9999));
    QVERIFY(window.isAnimated());
    QCOMPARE(window.centralWidget(), form.ui.centralwidget);
    QCOMPARE(window.statusBar(), form.ui.statusbar);
    QVERIFY(window.findChildren<QMenuBar *>().isEmpty());
    QVERIFY(iconShowsFile(window.windowIcon(), QStringLiteral("log.png")));

    window.resize(100, 100);
    QCOMPARE(window.size(), QSize(544, 410));
    window.resize(600, 300);
    QCOMPARE(window.size(), QSize(600, 410));
}

void TestMainWindowForm::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("iconFile");
    QTest::addColumn<int>("toolBarIndex"); // -1: shown nowhere

    const auto row = [](const char *name, const char *text, const char *iconFile, int index) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromUtf8(text)
                            << QString::fromUtf8(iconFile) << index;
    };
    row("act_clearText", "清理文本", "清除文本.png", -1);
    row("act_connect", "建立连接", "connect.png", 0);
    row("act_disconnect", "断开连接", "disconnect.png", 1);
    row("act_autoReconnect", "自动重连", "autoReconnect.png", 2);
    row("act_transferList", "传输列表", "transferList.png", 3);
    row("act_settings", "设置", "settings.png", 4);
    row("act_test", "测试", "test.png", -1);
    row("act_fileTransmit", "文件传输", "fileSend.png", -1);
}

void TestMainWindowForm::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, iconFile);
    QFETCH(int, toolBarIndex);

    Form form;
    QAction *action = form.window.findChild<QAction *>(name);
    QVERIFY(action);
    QCOMPARE(action->parent(), &form.window);
    QCOMPARE(action->text(), text);
    QVERIFY(iconShowsFile(action->icon(), iconFile));
    if (toolBarIndex < 0)
        QVERIFY(action->associatedWidgets().isEmpty());
    else
        QCOMPARE(form.ui.toolBar->actions().indexOf(action), toolBarIndex);
}

void TestMainWindowForm::toolBar()
{
    Form form;
    const QToolBar *bar = form.ui.toolBar;
    QCOMPARE(bar->actions(), (QList<QAction *>{form.ui.act_connect, form.ui.act_disconnect,
                                               form.ui.act_autoReconnect, form.ui.act_transferList,
                                               form.ui.act_settings}));
    // As a browser opens its downloads.
    QCOMPARE(form.ui.act_transferList->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_J));
    // A switch, off until settings.ini turns it on.
    QVERIFY(form.ui.act_autoReconnect->isCheckable());
    QVERIFY(!form.ui.act_autoReconnect->isChecked());
    QVERIFY(!bar->isMovable());
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(form.window.toolBarArea(form.ui.toolBar), Qt::TopToolBarArea);
    QCOMPARE(bar->windowTitle(), QStringLiteral("toolBar"));
}

void TestMainWindowForm::pagesAndButtonRow()
{
    Form form;
    const QStackedWidget *stack = form.ui.stackedWidget;
    QCOMPARE(stack->count(), 2);
    QCOMPARE(stack->widget(0), form.ui.page);
    QCOMPARE(stack->widget(1), form.ui.page_2);
    QCOMPARE(stack->currentIndex(), 1);
    QCOMPARE(stack->maximumHeight(), 40);
    QCOMPARE(form.ui.clientcomBox->count(), 0);

    // Buttons alternate with stretching spacers, edge to edge.
    const QLayout *row = form.ui.layoutWidget->layout();
    QVERIFY(row);
    QCOMPARE(row->contentsMargins(), QMargins());
    const QList<QWidget *> buttons{form.ui.testBtn, form.ui.fileTransmitBtn, form.ui.stopSendBtn,
                                   form.ui.clearTextBtn};
    QCOMPARE(row->count(), 2 * buttons.size() - 1);
    for (int i = 0; i < row->count(); ++i) {
        if (i % 2 == 0)
            QCOMPARE(row->itemAt(i)->widget(), buttons.at(i / 2));
        else
            QVERIFY(row->itemAt(i)->spacerItem());
    }
}

void TestMainWindowForm::bufferSizeRange()
{
    Form form;
    const QSpinBox *spinBox = form.ui.spinBox_bufferSize;
    QCOMPARE(spinBox->minimum(), 1);
    QCOMPARE(spinBox->maximum(), 65536);
    QCOMPARE(spinBox->value(), 12000);
}

void TestMainWindowForm::nameBoundSlots_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<bool>("bound");

    const auto row = [](const char *object, const char *signal, bool bound) {
        QTest::addRow("%s %s", object, signal)
            << QString::fromLatin1(object) << QByteArray(signal) << bound;
    };
    row("act_connect", "triggered()", true);
    row("act_disconnect", "triggered()", true);
    row("act_autoReconnect", "toggled(bool)", true);
    row("stackedWidget", "currentChanged(int)", true);
    row("testBtn", "clicked()", true);
    row("clearTextBtn", "clicked()", true);
    row("chooseDirBtn", "clicked()", true);
    row("fileTransmitBtn", "clicked()", true);
    row("dirShowLineEdit", "textChanged(QString)", true);
    row("stopSendBtn", "clicked()", true);
    row("spinBox_bufferSize", "valueChanged(int)", true);
    row("act_clearText", "triggered()", false);
    row("act_test", "triggered()", false);
    row("act_fileTransmit", "triggered()", false);
}

// A slot whose name does not match an object and signal of the form is
// silently never connected.
void TestMainWindowForm::nameBoundSlots()
{
    QFETCH(QString, object);
    QFETCH(QByteArray, signal);
    QFETCH(bool, bound);

    Form form;
    const QObject *sender = form.window.findChild<QObject *>(object);
    QVERIFY(sender);
    QVERIFY(sender->metaObject()->indexOfSignal(signal) >= 0);
    const QByteArray slot = "on_" + object.toLatin1() + '_' + signal;
    QCOMPARE(MainWindow::staticMetaObject.indexOfSlot(slot) >= 0, bound);
}

void TestMainWindowForm::unboundActionsDoNothing()
{
    WindowTest::writeSettings({{QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}});
    MainWindow window;
    // The start-up connection is refused: nothing more is logged after this.
    QTRY_VERIFY(WindowTest::logText(window).contains(logLine("已和KVR控制器断开连接")));
    const QString log = WindowTest::logText(window);

    for (const char *name : {"act_clearText", "act_test", "act_fileTransmit"}) {
        QAction *action = window.findChild<QAction *>(QLatin1String(name));
        QVERIFY(action);
        action->trigger();
    }
    QCoreApplication::processEvents();
    QCOMPARE(WindowTest::logText(window), log);
}

void TestMainWindowForm::icons_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");

    for (const auto &icon : formIcons())
        QTest::newRow(icon.first.toUtf8()) << icon.first << QSize(icon.second, icon.second);
}

void TestMainWindowForm::icons()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);

    QImageReader reader(iconPath(file));
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    // 8 bits per channel with alpha; 16-bit PNGs load as RGBA64.
    QCOMPARE(image.format(), QImage::Format_ARGB32);
}

// The window icon is the only image beyond the form's.
void TestMainWindowForm::iconCollectionHoldsNoOtherFiles()
{
    QStringList expected{QStringLiteral("log.png")};
    for (const auto &icon : formIcons())
        expected << icon.first;
    expected.sort();
    QStringList files = QDir(QStringLiteral(":/res/icons")).entryList(QDir::Files);
    files.sort();
    QCOMPARE(files, expected);
}

QTEST_MAIN(TestMainWindowForm)
#include "tst_mainwindowform.moc"
