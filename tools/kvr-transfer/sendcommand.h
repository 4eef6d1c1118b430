#pragma once

#include "command.h"
#include "fleetsend.h"
#include "session.h"

// send FILE...: the files one after another over one connection, or over
// one connection to each of several controllers (FleetSend).
class SendCommand : public Command
{
public:
    SendCommand();

private:
    bool readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                     const SettingsFile::Values &settings, QString *error) override;
    int run(Session &session) override;
    int plannedFiles() const override;
    int connectAndRun(Output &output) override;
    bool needsHost() const override { return !m_fleet.isOn(); }

    QStringList m_files;
    FleetSend m_fleet;
    Session::SendOptions m_options;
};
