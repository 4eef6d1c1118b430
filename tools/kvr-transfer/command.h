#pragma once

#include "settings/settingsfile.h"
#include "transfer/protocol.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class Output;
class QCommandLineParser;
class Session;

// One subcommand of kvr-transfer: its name, what it does, its options, and
// its work over one connection. The options every command takes (--port,
// --json and the host) and the order in which arguments are checked are
// here; a subcommand adds its own and the work.
class Command
{
public:
    virtual ~Command();
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    const QString &name() const { return m_name; }
    // The command's line in the tool's help.
    QString descriptionLine() const;

    // Runs the command with the program's arguments as
    // QCoreApplication::arguments() gives them, the command's name among
    // them, and returns the exit code. --help and --version print and end
    // the process, as for the program.
    int execute(const QStringList &arguments, Output &output);

    // An option that is not given leaves *value as it is.
    static bool readNumber(const QCommandLineParser &parser, const char *name, qint64 min,
                           qint64 max, qint64 *value, QString *error);

protected:
    // A positional argument, as the help names it.
    struct Argument
    {
        QString name;
        QString description;
        QString syntax;
    };

    Command(const char *name, const char *description, const char *hostOption,
            const Argument &argument = {});

    // One of the command's own options, listed after the common ones.
    void addOption(const QCommandLineOption &option);
    // The command moves files: each gets a line in the history beside
    // settings.ini, unless --no-history.
    void keepHistory();
    // Reads the command's own options and arguments (paths with '/'); false,
    // with *error, at the first that is bad.
    virtual bool readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                             const SettingsFile::Values &settings, QString *error);
    virtual int run(Session &session) = 0;
    // The work once the arguments are read: by default run() over one
    // connection to host().
    virtual int connectAndRun(Output &output);
    // False when the command finds its controllers elsewhere than --to or
    // serverAddress.
    virtual bool needsHost() const { return true; }
    // The files that count as failed when no connection was made.
    virtual int plannedFiles() const { return 0; }
    // The arguments are good and the connection is next.
    virtual void beforeConnecting() {}
    // The run goes on without a first connection, to make one itself.
    virtual bool keepsConnecting() const { return false; }

    // The settings.ini the defaults come from: the window's, unless the
    // command is told another.
    virtual QString settingsFile(const QCommandLineParser &parser) const;
    // Where the history goes: beside that settings.ini, unless told.
    virtual QString historyFile() const;

    quint16 port() const { return m_port; }
    // Empty without a history.
    QString historyPath() const;

private:
    bool parse(const QStringList &arguments, QString *error);
    bool readArguments(const QCommandLineParser &parser, QString *error);
    bool chooseHost(const QCommandLineParser &parser, const SettingsFile::Values &settings,
                    QString *error);

    const QString m_name;
    const QString m_description;
    const QString m_hostOption;
    const Argument m_argument;
    QList<QCommandLineOption> m_options;
    QString m_settingsFile;
    QString m_host;
    quint16 m_port = Protocol::ControllerPort;
    bool m_json = false;
    bool m_movesFiles = false;
    bool m_history = false;
};

namespace Commands {

// Every command, in the order the help lists them.
std::vector<std::unique_ptr<Command>> all();
// The command of that name, or none.
std::unique_ptr<Command> create(const QString &name);
// The command's name in the program's arguments: empty if there is none.
QString nameIn(const QStringList &arguments);
// A run whose arguments name no command: the help or the version when asked
// for, else an error and ExitBadArguments.
int executeNone(const QStringList &arguments, Output &output);

} // namespace Commands
