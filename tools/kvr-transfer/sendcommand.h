#pragma once

#include "command.h"
#include "session.h"

// send FILE...: the files one after another over one connection.
class SendCommand : public Command
{
public:
    SendCommand();

private:
    bool readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                     const SettingsFile::Values &settings, QString *error) override;
    int run(Session &session) override;
    int plannedFiles() const override;

    QStringList m_files;
    Session::SendOptions m_options;
};
