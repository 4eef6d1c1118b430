#pragma once

#include "command.h"
#include "session.h"

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
    int run(Session &session) override;
    int plannedFiles() const override;
    bool keepsConnecting() const override { return m_receive.reconnect; }

    Session::ReceiveOptions m_receive;
};
