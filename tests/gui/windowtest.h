#pragma once

// Helpers shared by the tests that construct MainWindow. The window reads
// settings.ini beside its executable when it is built and writes it when it
// is destroyed; each window test runs from a folder of its own.

#include "app/desktop.h"
#include "app/mainwindow.h"
#include "historyfile.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QString>
#include <QTextEdit>
#include <QUrl>
#include <QVariantMap>

#include <memory>

namespace WindowTest {

inline QString settingsFilePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
}

// The test's folder stays a portable copy, as the zip is: without the
// marker the window would take the user's own settings.
inline void removeSettings()
{
    QFile::remove(settingsFilePath());
    QFile marker(QCoreApplication::applicationDirPath() + QStringLiteral("/portable.txt"));
    marker.open(QIODevice::WriteOnly);
}

// Replaces settings.ini with exactly these keys and values.
inline void writeSettings(const QVariantMap &values)
{
    removeSettings();
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

// A window on the client page that connects to a controller on loopback
// (port 8080, in the test's own network namespace) and receives into
// receiveDir.
inline void writeClientSettings(const QString &receiveDir)
{
    writeSettings({{QStringLiteral("saveFilePath"), receiveDir},
                   {QStringLiteral("socketType"), QStringLiteral("client")},
                   {QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}});
}

inline QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

// The log's line for an established connection.
inline QString connectedLine()
{
    return utf8("已和KVR控制器建立连接\n");
}

// Drags the URLs onto the window and drops them there. A drop reaches only
// a window that accepted the drag entering it: false if it refused.
inline bool dropUrls(MainWindow &window, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(10, 10);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    return true;
}

inline QString logText(const MainWindow &window)
{
    return window.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
}

// The history of a window that keeps its settings beside the test.
inline QString historyPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/history.csv");
}

inline void removeHistory()
{
    HistoryFile::removeAll(historyPath());
}

// What the window asked of the desktop.
struct DesktopRecord
{
    QStringList notices;
    QList<QUrl> opened;
};

class RecordingDesktop : public Desktop
{
public:
    void notify(const QString &text) override { record.notices << text; }
    bool open(const QUrl &url) override
    {
        record.opened << url;
        return true;
    }
    DesktopRecord record;
};

// Puts a recorder in place of the desktop; the record lives as long as the
// window.
inline const DesktopRecord &recordDesktop(MainWindow &window)
{
    auto desktop = std::make_unique<RecordingDesktop>();
    const DesktopRecord &record = desktop->record;
    window.setDesktop(std::move(desktop));
    return record;
}

// The log's context menu as a right click on the log opens it, or none.
inline QMenu *openLogMenu(MainWindow &window)
{
    auto *log = window.findChild<QTextEdit *>(QStringLiteral("textEdit"));
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5));
    QApplication::sendEvent(log->viewport(), &click);
    return window.findChild<QMenu *>(QStringLiteral("logMenu"));
}

} // namespace WindowTest
