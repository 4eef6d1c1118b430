// kvr-controller-sim: stands in for the KVR controller on the other end of
// the PC's single TCP connection. The description below is also the --help
// text and the contract the tests rely on: keep the line formats stable.

#include "controllersim.h"
#include "signalwatcher.h"
#include "transfer/protocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>

namespace {

const char Description[] = R"(Stand-in for the KVR controller: accepts one PC connection at a time,
stores the files it receives (checking their MD5) and sends files back.

Output: one line per event on stdout, flushed at once.
  listening on ADDR:PORT, files in DIR
  connected ADDR:PORT
  refused ADDR:PORT (a client is already connected)
  disconnected
  raw data received (N bytes): TEXT
  receiving NAME (SIZE bytes)
  file received: NAME (SIZE bytes) MD5 ok | MD5 mismatch | no MD5
                 | no MD5, size mismatch (N announced)
                 [, kept as OTHER]  (NAME was taken: stored as OTHER)
  file timed out: NAME (N of SIZE bytes)
  file incomplete: NAME (N of SIZE bytes)      (client left mid-file)
  file write failed: NAME (N of SIZE bytes)[, kept as PARTIAL]
  file create failed[: NAME is one of the program's own files]
  sending NAME (SIZE bytes)
  sent NAME
  sent raw FILE (N bytes)                      (--send-raw)
  send failed: NAME (code N)                   (N: a transfer code)
  stopped
TEXT is the raw data as UTF-8 up to the first NUL; past 256 characters it
is cut and ends in "…". Control characters in TEXT and NAME appear
as \xNN. A file that timed out, was cut off or failed its MD5 stays in DIR
as .NAME.XXXXXX.part (NAME cut to 32 characters); one that could not be
written is removed.

Exit codes: 0 stopped by SIGINT or SIGTERM; 1 cannot create DIR or listen;
2 bad argument or unreadable --send file (nothing is started).)";

enum ExitCode { ExitStopped = 0, ExitCannotStart = 1, ExitBadArguments = 2 };

// Far beyond any link, and far from overflowing the reader's arithmetic.
constexpr qint64 MaxReadRate = Q_INT64_C(1000000000000);

void printError(const QString &message)
{
    std::fprintf(stderr, "kvr-controller-sim: %s\n", message.toLocal8Bit().constData());
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    *port = quint16(value);
    return ok && value <= 65535;
}

bool checkSendFiles(const QStringList &paths, QString *error)
{
    for (const QString &path : paths) {
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read --send file %1").arg(path);
            return false;
        }
    }
    return true;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QString::fromUtf8(Description));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("ADDR"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"),
         QStringLiteral("Port to listen on, 0 for any (default %1).").arg(Protocol::ControllerPort),
         QStringLiteral("N"), QString::number(Protocol::ControllerPort)},
        {QStringLiteral("dir"),
         QStringLiteral("Directory for received files, created if missing "
                        "(default ./controller-files)."),
         QStringLiteral("DIR"), QStringLiteral("controller-files")},
        {QStringLiteral("send"),
         QStringLiteral("Send FILE to each client when it connects; repeatable, sent in order."),
         QStringLiteral("FILE")},
        {QStringLiteral("send-raw"),
         QStringLiteral("Write FILE's bytes as they are, unframed, to each client when it "
                        "connects, before any --send; repeatable."),
         QStringLiteral("FILE")},
        {QStringLiteral("echo"), QStringLiteral("Send every file received back to the client.")},
        {QStringLiteral("no-md5"), QStringLiteral("Leave the MD5 section out of files sent.")},
        {QStringLiteral("pace"),
         QStringLiteral("paced (default): a block per millisecond at most; full: as fast as the "
                        "socket takes it; or a cap in MB/s."),
         QStringLiteral("PACE")},
        {QStringLiteral("no-pace"), QStringLiteral("The same as --pace full.")},
        {QStringLiteral("read-rate"),
         QStringLiteral("Read at most this many bytes per second, like a slow controller."),
         QStringLiteral("BYTES_PER_S")},
    });
}

bool parseSettings(const QCommandLineParser &parser, ControllerSim::Settings *settings,
                   QString *error)
{
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
        return false;
    }
    if (!settings->address.setAddress(parser.value(QStringLiteral("listen")))) {
        *error = QStringLiteral("--listen needs an IP address");
        return false;
    }
    if (!parsePort(parser.value(QStringLiteral("port")), &settings->port)) {
        *error = QStringLiteral("--port needs a number from 0 to 65535");
        return false;
    }
    if (parser.isSet(QStringLiteral("read-rate"))) {
        bool ok = false;
        settings->readRate = parser.value(QStringLiteral("read-rate")).toLongLong(&ok);
        if (!ok || settings->readRate <= 0 || settings->readRate > MaxReadRate) {
            *error =
                QStringLiteral("--read-rate needs bytes per second from 1 to %1").arg(MaxReadRate);
            return false;
        }
    }
    settings->directory = QDir(parser.value(QStringLiteral("dir"))).absolutePath();
    settings->sendFiles = parser.values(QStringLiteral("send"));
    settings->rawFiles = parser.values(QStringLiteral("send-raw"));
    settings->echo = parser.isSet(QStringLiteral("echo"));
    settings->withMd5 = !parser.isSet(QStringLiteral("no-md5"));
    if (parser.isSet(QStringLiteral("no-pace")))
        settings->pace = SendPace::full();
    if (parser.isSet(QStringLiteral("pace"))) {
        const std::optional<SendPace> pace = SendPace::parse(parser.value(QStringLiteral("pace")));
        if (!pace) {
            *error = QStringLiteral("--pace needs ") + QLatin1String(SendPace::Accepted);
            return false;
        }
        settings->pace = *pace;
    }
    return checkSendFiles(settings->sendFiles + settings->rawFiles, error);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kvr-controller-sim"));
    // The sender prints a debug line per file; stderr is for errors here.
    // QT_LOGGING_RULES still turns them back on.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(app.arguments())) {
        printError(parser.errorText());
        return ExitBadArguments;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp();

    ControllerSim::Settings settings;
    QString error;
    if (!parseSettings(parser, &settings, &error)) {
        printError(error);
        return ExitBadArguments;
    }
    if (!QDir().mkpath(settings.directory)) {
        printError(QStringLiteral("cannot create directory %1").arg(settings.directory));
        return ExitCannotStart;
    }

    // Before listening: a test that saw the listening line may signal at once.
    SignalWatcher watcher({SIGINT, SIGTERM});
    if (!watcher.isValid()) {
        printError(QStringLiteral("cannot watch for SIGINT and SIGTERM"));
        return ExitCannotStart;
    }
    ControllerSim sim(settings);
    QObject::connect(&watcher, &SignalWatcher::received, &sim, [&sim] {
        sim.stop();
        QCoreApplication::quit();
    });
    if (!sim.listen(&error)) {
        printError(error);
        return ExitCannotStart;
    }
    return app.exec();
}
