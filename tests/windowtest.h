#pragma once

// Helpers shared by the tests that construct MainWindow. The window reads
// settings.ini beside its executable when it is built and writes it when it
// is destroyed; each window test runs from a folder of its own.

#include "app/mainwindow.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTextEdit>
#include <QVariantMap>

namespace WindowTest {

inline QString settingsFilePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
}

inline void removeSettings()
{
    QFile::remove(settingsFilePath());
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

inline QString logText(const MainWindow &window)
{
    return window.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
}

} // namespace WindowTest
