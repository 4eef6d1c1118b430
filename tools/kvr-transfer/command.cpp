#include "command.h"

#include "exitcodes.h"
#include "greetcommand.h"
#include "history/transferhistory.h"
#include "kvrversion.h"
#include "output.h"
#include "receivecommand.h"
#include "sendcommand.h"
#include "session.h"
#include "transfer/protocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>

namespace {

// The help text is a contract with scripts: keep it true. The commands'
// lines come between these two parts.
const char Introduction[] =
    R"(Sends files to a KVR controller and receives files from it, with the same
framing, MD5 check and pacing as the window kvr-file-transfer.

Commands:
)";

const char Details[] = R"(  (kvr-transfer COMMAND --help lists the command's options)

Without --to/--from the host is serverAddress, and without --dir the folder
is saveFilePath, from the window's settings.ini. A file or the greeting
counts as sent once the controller acknowledged every byte. One line per
file on stdout (with --json one JSON object per event, the last "finished"
unless the arguments were bad); a progress line only on a terminal; raw
data from the controller on stderr, control characters as \xNN. Every file
sent or received, well or not, gets a line in history.csv beside
settings.ini, as the window's do (--no-history leaves it alone).

send --targets FILE (or --to given several times) sends to each controller
over its own connection, --parallel at a time: one line per controller on
stdout as it ends, "[sent]" or "[failed]" and why, JSON events that name
their "target" with --json, and a table of all of them on stderr at the end.

Exit codes:
  0    everything sent or received and verified
  1    could not connect
  2    bad arguments, or a file that cannot be sent (nothing is sent)
  3    a transfer failed (read failure, a file changed during its send,
       timeout, write failure, a file still arriving when the wait ended,
       fewer files than --count before --idle ended the wait)
  4    a digest mismatch, or a file without MD5 whose size differs from the
       size announced (it is stored all the same)
  5    the connection was lost mid-transfer or before the controller
       acknowledged what was sent (or before --count files came)
  6    of several controllers, some got every file and some did not (when
       none did, the first one's code; with one, the codes above)
  130  interrupted (Ctrl+C); receive --reconnect ends a stop with 0
When several files fail, the first failure's code wins.)";

// The width of a command's name and arguments in its help line.
constexpr int UsageWidth = 15;

// "send, receive or greet"
QString commandNames()
{
    QStringList names;
    for (const std::unique_ptr<Command> &command : Commands::all())
        names.append(command->name());
    const QString last = names.takeLast();
    return names.join(QLatin1String(", ")) + QLatin1String(" or ") + last;
}

// The tool's help, --help and --version: what every run understands.
void describeTool(QCommandLineParser &parser)
{
    QString description = QString::fromUtf8(Introduction);
    for (const std::unique_ptr<Command> &command : Commands::all())
        description += command->descriptionLine();
    parser.setApplicationDescription(description + QString::fromUtf8(Details));
    parser.addHelpOption();
    parser.addVersionOption();
}

// The help and the version win over any error in the arguments.
bool parseOrExit(QCommandLineParser &parser, const QStringList &arguments, QString *error)
{
    if (!parser.parse(arguments))
        *error = parser.errorText();
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("kvr-transfer %s\n", KVR_VERSION);
        std::exit(ExitOk);
    }
    return error->isEmpty();
}

// Before the command is known.
void expectCommand(QCommandLineParser &parser)
{
    describeTool(parser);
    parser.addPositionalArgument(QStringLiteral("command"), commandNames() + QLatin1Char('.'));
}

// The window's settings.ini, found as the window finds it.
QString settingsPath()
{
    return SettingsFile::path(QCoreApplication::applicationDirPath());
}

} // namespace

Command::Command(const char *name, const char *description, const char *hostOption,
                 const Argument &argument)
    : m_name(QString::fromLatin1(name)), m_description(QString::fromLatin1(description)),
      m_hostOption(QString::fromLatin1(hostOption)), m_argument(argument)
{}

Command::~Command() = default;

QString Command::descriptionLine() const
{
    const QString usage =
        m_argument.syntax.isEmpty() ? m_name : m_name + QLatin1Char(' ') + m_argument.syntax;
    return QStringLiteral("  ") + usage.leftJustified(UsageWidth) + m_description +
           QLatin1Char('\n');
}

void Command::addOption(const QCommandLineOption &option)
{
    m_options.append(option);
}

void Command::keepHistory()
{
    m_movesFiles = true;
    addOption({QStringLiteral("no-history"),
               QStringLiteral("Leave the transfer history (history.csv) alone.")});
}

bool Command::readOptions(const QCommandLineParser &, const QStringList &,
                          const SettingsFile::Values &, QString *)
{
    return true;
}

int Command::execute(const QStringList &arguments, Output &output)
{
    QString error;
    if (!parse(arguments, &error)) {
        output.error(error);
        return ExitBadArguments;
    }
    output.setJson(m_json);
    return connectAndRun(output);
}

QString Command::historyPath() const
{
    return m_history ? historyFile() : QString();
}

int Command::connectAndRun(Output &output)
{
    Session session(output);
    if (m_history)
        session.keepHistory(historyFile());
    beforeConnecting();
    const int opened = session.open(m_host, m_port);
    if (opened != ExitOk && !keepsConnecting())
        return session.notConnected(opened, plannedFiles());
    const int code = run(session);
    session.close();
    return code;
}

// The command first, then its options: each command knows only its own.
bool Command::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    describeTool(parser);
    parser.addPositionalArgument(m_name, QStringLiteral("The command."));
    if (!m_argument.name.isEmpty())
        parser.addPositionalArgument(m_argument.name, m_argument.description, m_argument.syntax);
    parser.addOption(
        {QStringLiteral("port"),
         QStringLiteral("Controller port, 1 to 65535 (default %1).").arg(Protocol::ControllerPort),
         QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("json"), QStringLiteral("One JSON object per line for each event.")});
    parser.addOption({m_hostOption, QStringLiteral("Controller address (default: serverAddress)."),
                      QStringLiteral("HOST")});
    parser.addOptions(m_options);
    return parseOrExit(parser, arguments, error) && readArguments(parser, error);
}

QString Command::settingsFile(const QCommandLineParser &) const
{
    return settingsPath();
}

QString Command::historyFile() const
{
    return TransferHistory::pathBeside(m_settingsFile);
}

bool Command::readArguments(const QCommandLineParser &parser, QString *error)
{
    m_settingsFile = settingsFile(parser);
    const SettingsFile::Values settings = SettingsFile::read(m_settingsFile);
    qint64 port = Protocol::ControllerPort;
    if (!readNumber(parser, "port", 1, 65535, &port, error))
        return false;
    m_port = quint16(port);
    m_json = parser.isSet(QStringLiteral("json"));
    m_history = m_movesFiles && !parser.isSet(QStringLiteral("no-history"));
    // The name sent is what follows the last '/': a Windows path typed with
    // backslashes would otherwise go out whole as the name.
    QStringList arguments;
    for (const QString &argument : parser.positionalArguments().mid(1))
        arguments.append(QDir::fromNativeSeparators(argument));
    if (m_argument.name.isEmpty() && !arguments.isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(arguments.first());
        return false;
    }
    return readOptions(parser, arguments, settings, error) && chooseHost(parser, settings, error);
}

// A host is never guessed: a wrong controller on a production line is worse
// than a tool that asks.
bool Command::chooseHost(const QCommandLineParser &parser, const SettingsFile::Values &settings,
                         QString *error)
{
    if (!needsHost())
        return true;
    const QString given = parser.value(m_hostOption);
    m_host = (given.isEmpty() ? settings.serverAddress.value_or(QString()) : given).trimmed();
    if (m_host.isEmpty())
        *error = QStringLiteral("no controller address: pass --%1 HOST or set serverAddress in %2")
                     .arg(m_hostOption, QDir::toNativeSeparators(m_settingsFile));
    return !m_host.isEmpty();
}

bool Command::readNumber(const QCommandLineParser &parser, const char *name, qint64 min, qint64 max,
                         qint64 *value, QString *error)
{
    const QString key = QString::fromLatin1(name);
    if (!parser.isSet(key))
        return true;
    bool ok = false;
    const qint64 number = parser.value(key).toLongLong(&ok);
    if (!ok || number < min || number > max) {
        *error = QStringLiteral("--%1 needs a number from %2 to %3").arg(key).arg(min).arg(max);
        return false;
    }
    *value = number;
    return true;
}

std::vector<std::unique_ptr<Command>> Commands::all()
{
    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(std::make_unique<SendCommand>());
    commands.push_back(std::make_unique<ReceiveCommand>());
    commands.push_back(std::make_unique<GreetCommand>());
    return commands;
}

std::unique_ptr<Command> Commands::create(const QString &name)
{
    for (std::unique_ptr<Command> &command : all()) {
        if (command->name() == name)
            return std::move(command);
    }
    return nullptr;
}

QString Commands::nameIn(const QStringList &arguments)
{
    QCommandLineParser parser;
    expectCommand(parser);
    parser.parse(arguments);
    return parser.positionalArguments().value(0);
}

int Commands::executeNone(const QStringList &arguments, Output &output)
{
    QCommandLineParser parser;
    expectCommand(parser);
    QString error;
    if (parseOrExit(parser, arguments, &error)) {
        const QString name = parser.positionalArguments().value(0);
        error = name.isEmpty()
                    ? QStringLiteral("missing command: %1 (see --help)").arg(commandNames())
                    : QStringLiteral("unknown command %1 (see --help)").arg(name);
    }
    output.error(error);
    return ExitBadArguments;
}
