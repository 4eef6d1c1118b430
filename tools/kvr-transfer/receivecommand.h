#pragma once

#include "command.h"
#include "servicenotifier.h"
#include "session.h"

#include <memory>

// receive: files into a folder until enough came, the controller went quiet
// or away, or Ctrl+C.
class ReceiveCommand : public Command
{
public:
    ReceiveCommand();

private:
    bool readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                     const SettingsFile::Values &settings, QString *error) override;
    bool readExisting(const QCommandLineParser &parser, const SettingsFile::Values &settings,
                      QString *error);
    QString settingsFile(const QCommandLineParser &parser) const override;
    QString historyFile() const override;
    void beforeConnecting() override;
    int run(Session &session) override;
    int plannedFiles() const override;
    bool keepsConnecting() const override { return m_receive.reconnect; }

    Session::ReceiveOptions m_receive;
    std::unique_ptr<ServiceNotifier> m_notifier;
    QString m_historyFile; // --history, else empty
};
