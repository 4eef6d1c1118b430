// kvr-transfer: sends files to a KVR controller and receives files from it
// on the command line, with the window's sender, receive engine and
// settings. The help text below is a contract with scripts: keep it true.

#include "exitcodes.h"
#include "interrupt.h"
#include "kvrversion.h"
#include "output.h"
#include "session.h"

#include "settings/defaults.h"
#include "settings/settingsfile.h"
#include "transfer/filesender.h"
#include "transfer/protocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const char Description[] =
    R"(Sends files to a KVR controller and receives files from it, with the same
framing, MD5 check and pacing as the window kvr-file-transfer.

Commands:
  send FILE...   send the files one after another over one connection
  receive        receive files into a folder
  greet          send the test greeting
  (kvr-transfer COMMAND --help lists the command's options)

Without --to/--from the host is serverAddress, and without --dir the folder
is saveFilePath, from the window's settings.ini. A file or the greeting
counts as sent once the controller acknowledged every byte. One line per
file on stdout (with --json one JSON object per event, the last "finished"
unless the arguments were bad); a progress line only on a terminal; raw
data from the controller on stderr, control characters as \xNN.

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
  130  interrupted (Ctrl+C)
When several files fail, the first failure's code wins.)";

constexpr double MaxIdleSeconds = 1e6;

struct Command
{
    QString name;
    QStringList files;
    QString host;
    quint16 port = Defaults::ControllerPort;
    int bufferSize = Defaults::BufferSize;
    bool json = false;
    Session::ReceiveOptions receive;
};

QCommandLineOption option(const char *name, const char *help, const char *value = nullptr)
{
    if (!value)
        return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(help));
    return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(help),
                              QString::fromLatin1(value));
}

void addCommandOptions(QCommandLineParser &parser, const QString &command)
{
    parser.clearPositionalArguments();
    parser.addPositionalArgument(command, QStringLiteral("The command."));
    parser.addOption(
        {QStringLiteral("port"),
         QStringLiteral("Controller port, 1 to 65535 (default %1).").arg(Defaults::ControllerPort),
         QStringLiteral("N")});
    parser.addOption(option("json", "One JSON object per line for each event."));
    if (command == QLatin1String("send")) {
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to send."),
                                     QStringLiteral("FILE..."));
        parser.addOption(option("to", "Controller address (default: serverAddress).", "HOST"));
        parser.addOption({QStringLiteral("buffer-size"),
                          QStringLiteral("Block size, %1 to %2 (default %3).")
                              .arg(Defaults::MinBufferSize)
                              .arg(Defaults::MaxBufferSize)
                              .arg(Defaults::BufferSize),
                          QStringLiteral("N")});
    } else if (command == QLatin1String("receive")) {
        parser.addOption(option("from", "Controller address (default: serverAddress).", "HOST"));
        parser.addOption(option("dir",
                                "Folder for the files (default: saveFilePath, else the current "
                                "folder).",
                                "DIR"));
        parser.addOption(option("count", "Stop after N files.", "N"));
        parser.addOption(option("idle", "Stop after SECONDS without data.", "SECONDS"));
    } else {
        parser.addOption(option("to", "Controller address (default: serverAddress).", "HOST"));
    }
}

bool parseNumber(const QCommandLineParser &parser, const char *name, qint64 min, qint64 max,
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

bool checkFiles(const QStringList &paths, QString *error)
{
    if (paths.isEmpty())
        *error = QStringLiteral("send needs at least one FILE");
    for (const QString &path : paths) {
        QFile file(path);
        if (!QFileInfo::exists(path))
            *error = QStringLiteral("no such file: %1").arg(path);
        else if (QFileInfo(path).isDir())
            *error = QStringLiteral("%1 is a folder, not a file").arg(path);
        // Checked before the open below: opening a FIFO waits for a writer.
        else if (!QFileInfo(path).isFile())
            *error = QStringLiteral("%1 is not a regular file").arg(path);
        else if (Protocol::holdsMarker(Protocol::fileNameOf(path)))
            *error = QStringLiteral("%1: the name holds a marker of the wire format").arg(path);
        else if (!file.open(QIODevice::ReadOnly))
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        if (!error->isEmpty())
            return false;
    }
    return error->isEmpty();
}

// The window's settings.ini, found as the window finds it.
QString settingsPath()
{
    return SettingsFile::path(QCoreApplication::applicationDirPath());
}

// A host is never guessed: a wrong controller on a production line is worse
// than a tool that asks.
bool chooseHost(const QString &option, const QCommandLineParser &parser,
                const SettingsFile::Values &settings, QString *host, QString *error)
{
    const QString given = parser.value(option);
    *host = (given.isEmpty() ? settings.serverAddress.value_or(QString()) : given).trimmed();
    if (host->isEmpty())
        *error = QStringLiteral("no controller address: pass --%1 HOST or set serverAddress in %2")
                     .arg(option, QDir::toNativeSeparators(settingsPath()));
    return !host->isEmpty();
}

bool parseReceive(const QCommandLineParser &parser, const SettingsFile::Values &settings,
                  Command *command, QString *error)
{
    qint64 count = 0;
    if (!parseNumber(parser, "count", 1, INT_MAX, &count, error))
        return false;
    command->receive.count = int(count);
    if (parser.isSet(QStringLiteral("idle"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("idle")).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > MaxIdleSeconds) {
            *error = QStringLiteral("--idle needs a number of seconds above 0");
            return false;
        }
        command->receive.idleMs = qMax<qint64>(1, qint64(seconds * 1000));
    }
    QString dir = parser.value(QStringLiteral("dir"));
    if (dir.isEmpty())
        dir = settings.saveFilePath.value_or(QString());
    command->receive.dir = QDir(dir.isEmpty() ? QStringLiteral(".") : dir).absolutePath();
    if (!QFileInfo(command->receive.dir).isDir()) {
        *error = QStringLiteral("no such folder: %1").arg(command->receive.dir);
        return false;
    }
    return true;
}

bool parseCommand(const QCommandLineParser &parser, Command *command, QString *error)
{
    const SettingsFile::Values settings = SettingsFile::read(settingsPath());
    qint64 port = Defaults::ControllerPort;
    qint64 bufferSize = Defaults::BufferSize;
    const bool send = command->name == QLatin1String("send");
    if (!parseNumber(parser, "port", 1, 65535, &port, error) ||
        (send && !parseNumber(parser, "buffer-size", Defaults::MinBufferSize,
                              Defaults::MaxBufferSize, &bufferSize, error)))
        return false;
    command->port = quint16(port);
    command->bufferSize = int(bufferSize);
    command->json = parser.isSet(QStringLiteral("json"));
    // The name sent is what follows the last '/': a Windows path typed with
    // backslashes would otherwise go out whole as the name.
    for (const QString &file : parser.positionalArguments().mid(1))
        command->files.append(QDir::fromNativeSeparators(file));
    if (!send && !command->files.isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(command->files.first());
        return false;
    }
    if (send && !checkFiles(command->files, error))
        return false;
    if (command->name == QLatin1String("receive") &&
        !parseReceive(parser, settings, command, error))
        return false;
    const QString hostOption =
        command->name == QLatin1String("receive") ? QStringLiteral("from") : QStringLiteral("to");
    return chooseHost(hostOption, parser, settings, &command->host, error);
}

// The command first, then its options: each command knows only its own.
bool parseArguments(QCommandLineParser &parser, Command *command, QString *error)
{
    parser.setApplicationDescription(QString::fromUtf8(Description));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("send, receive or greet."));
    parser.parse(QCoreApplication::arguments());
    command->name = parser.positionalArguments().value(0);
    const QStringList known{QStringLiteral("send"), QStringLiteral("receive"),
                            QStringLiteral("greet")};
    if (known.contains(command->name))
        addCommandOptions(parser, command->name);
    if (!parser.parse(QCoreApplication::arguments()))
        *error = parser.errorText();
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("kvr-transfer %s\n", KVR_VERSION);
        std::exit(ExitOk);
    }
    if (error->isEmpty() && !known.contains(command->name))
        *error = command->name.isEmpty()
                     ? QStringLiteral("missing command: send, receive or greet (see --help)")
                     : QStringLiteral("unknown command %1 (see --help)").arg(command->name);
    return error->isEmpty() && parseCommand(parser, command, error);
}

int run(const Command &command, Output &output)
{
    output.setJson(command.json);
    Session session(output);
    if (const int code = session.open(command.host, command.port)) {
        const bool send = command.name == QLatin1String("send");
        return session.notConnected(code, send ? int(command.files.size()) : command.receive.count);
    }
    int code = ExitOk;
    if (command.name == QLatin1String("send"))
        code = session.send(command.files, command.bufferSize);
    else if (command.name == QLatin1String("receive"))
        code = session.receive(command.receive);
    else
        code = session.greet();
    session.close();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The window's name: it names the per-user folder of the settings shared
    // with it.
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    // The sender logs each file's digest at debug level; stdout is for events.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    Interrupt::install();

    QCommandLineParser parser;
    Command command;
    QString error;
    Output output;
    if (!parseArguments(parser, &command, &error)) {
        output.error(error);
        return ExitBadArguments;
    }
    return run(command, output);
}
