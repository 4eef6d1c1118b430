#pragma once

// Helpers shared by the tests that construct MainWindow. The window reads
// settings.ini beside its executable when it is built and writes it when it
// is destroyed; each window test runs from a folder of its own.

#include "app/mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSettings>
#include <QString>
#include <QTextEdit>
#include <QUrl>
#include <QVariantMap>

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

} // namespace WindowTest
