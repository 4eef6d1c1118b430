#include "receivecommand.h"

#include "interrupt.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <climits>
#include <cmath>

namespace {

constexpr double MaxIdleSeconds = 1e6;

} // namespace

ReceiveCommand::ReceiveCommand() : Command("receive", "receive files into a folder", "from")
{
    addOption({QStringLiteral("dir"),
               QStringLiteral("Folder for the files (default: saveFilePath, else the current "
                              "folder)."),
               QStringLiteral("DIR")});
    addOption(
        {QStringLiteral("count"), QStringLiteral("Stop after N files."), QStringLiteral("N")});
    addOption({QStringLiteral("idle"), QStringLiteral("Stop after SECONDS without data."),
               QStringLiteral("SECONDS")});
    addOption({QStringLiteral("reconnect"),
               QStringLiteral("Connect again whenever the connection cannot be made or drops, "
                              "until stopped (exit 0) or --count or --idle ends it.")});
    addOption({QStringLiteral("config"),
               QStringLiteral("Take serverAddress, saveFilePath and existingFiles from FILE, a "
                              "settings.ini of its own (a service's), instead of the window's."),
               QStringLiteral("FILE")});
    addOption({QStringLiteral("history"),
               QStringLiteral("Keep the history in FILE (default: history.csv beside the "
                              "settings)."),
               QStringLiteral("FILE")});
    addOption({QStringLiteral("existing"),
               QStringLiteral("What a file does to one of its name already there: %1 "
                              "(default: existingFiles, else overwrite).")
                   .arg(ExistingFilesRule::words()),
               QStringLiteral("RULE")});
    keepHistory();
}

bool ReceiveCommand::readOptions(const QCommandLineParser &parser, const QStringList &,
                                 const SettingsFile::Values &settings, QString *error)
{
    qint64 count = 0;
    if (!readNumber(parser, "count", 1, INT_MAX, &count, error))
        return false;
    m_receive.count = int(count);
    m_receive.reconnect = parser.isSet(QStringLiteral("reconnect"));
    // A service manager stops with SIGTERM: the same stop as Ctrl+C.
    if (m_receive.reconnect)
        Interrupt::alsoOnTerminate();
    if (parser.isSet(QStringLiteral("idle"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("idle")).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > MaxIdleSeconds) {
            *error = QStringLiteral("--idle needs a number of seconds above 0");
            return false;
        }
        m_receive.idleMs = qMax<qint64>(1, qint64(seconds * 1000));
    }
    const QString config = parser.value(QStringLiteral("config"));
    if (!config.isEmpty() && !QFileInfo(config).isFile()) {
        *error = QStringLiteral("no such settings file: %1").arg(config);
        return false;
    }
    m_historyFile = parser.value(QStringLiteral("history"));
    if (!readExisting(parser, settings, error))
        return false;
    QString dir = parser.value(QStringLiteral("dir"));
    if (dir.isEmpty())
        dir = settings.saveFilePath.value_or(QString());
    m_receive.dir = QDir(dir.isEmpty() ? QStringLiteral(".") : dir).absolutePath();
    if (!QFileInfo(m_receive.dir).isDir()) {
        *error = QStringLiteral("no such folder: %1").arg(m_receive.dir);
        return false;
    }
    if (!QFileInfo(m_receive.dir).isWritable()) {
        *error = QStringLiteral("cannot write into the folder %1").arg(m_receive.dir);
        return false;
    }
    return true;
}

QString ReceiveCommand::settingsFile(const QCommandLineParser &parser) const
{
    const QString config = parser.value(QStringLiteral("config"));
    return config.isEmpty() ? Command::settingsFile(parser) : config;
}

QString ReceiveCommand::historyFile() const
{
    return m_historyFile.isEmpty() ? Command::historyFile() : m_historyFile;
}

// Ready before any controller answers: a service that waited for one would
// time out while the controller reboots.
void ReceiveCommand::beforeConnecting()
{
    m_notifier = std::make_unique<ServiceNotifier>();
    if (!m_notifier->active())
        return;
    m_receive.watcher = m_notifier.get();
    m_notifier->ready();
}

bool ReceiveCommand::readExisting(const QCommandLineParser &parser,
                                  const SettingsFile::Values &settings, QString *error)
{
    m_receive.existing = settings.existingFiles.value_or(ExistingFiles::Overwrite);
    if (!parser.isSet(QStringLiteral("existing")))
        return true;
    const std::optional<ExistingFiles> rule =
        ExistingFilesRule::of(parser.value(QStringLiteral("existing")));
    if (!rule) {
        *error = QStringLiteral("--existing takes one of %1").arg(ExistingFilesRule::words());
        return false;
    }
    m_receive.existing = *rule;
    return true;
}

int ReceiveCommand::run(Session &session)
{
    return session.receive(m_receive);
}

int ReceiveCommand::plannedFiles() const
{
    return m_receive.count;
}
