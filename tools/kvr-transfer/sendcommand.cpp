#include "sendcommand.h"

#include "session.h"

#include "transfer/limits.h"
#include "transfer/protocol.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

namespace {

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

bool readPace(const QCommandLineParser &parser, SendPace *pace, QString *error)
{
    if (!parser.isSet(QStringLiteral("pace")))
        return true;
    const std::optional<SendPace> given = SendPace::parse(parser.value(QStringLiteral("pace")));
    if (!given)
        *error = QStringLiteral("--pace needs ") + QLatin1String(SendPace::Accepted);
    *pace = given.value_or(*pace);
    return given.has_value();
}

} // namespace

SendCommand::SendCommand()
    : Command("send", "send the files one after another over one connection", "to",
              {QStringLiteral("FILE"), QStringLiteral("Files to send."), QStringLiteral("FILE...")})
{
    addOption({QStringLiteral("buffer-size"),
               QStringLiteral("Block size, %1 to %2 (default %3).")
                   .arg(Limits::MinBufferSize)
                   .arg(Limits::MaxBufferSize)
                   .arg(Defaults::BufferSize),
               QStringLiteral("N")});
    addOption({QStringLiteral("pace"),
               QStringLiteral("paced (default): a block per millisecond at most; full: as fast "
                              "as the controller takes it; or a cap in MB/s, such as 20."),
               QStringLiteral("PACE")});
    addOption({QStringLiteral("gap"),
               QStringLiteral("Milliseconds to wait between files (default 0)."),
               QStringLiteral("MS")});
    keepHistory();
    for (const QCommandLineOption &option : FleetSend::options())
        addOption(option);
}

bool SendCommand::readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                              const SettingsFile::Values &, QString *error)
{
    qint64 bufferSize = Defaults::BufferSize;
    qint64 gapMs = 0;
    if (!readNumber(parser, "buffer-size", Limits::MinBufferSize, Limits::MaxBufferSize,
                    &bufferSize, error) ||
        !readPace(parser, &m_options.pace, error) ||
        !readNumber(parser, "gap", 0, FileGap::MaxMs, &gapMs, error))
        return false;
    m_options.bufferSize = int(bufferSize);
    m_options.gapMs = int(gapMs);
    m_files = arguments;
    return m_fleet.read(parser, port(), &m_files, error) && checkFiles(m_files, error);
}

int SendCommand::connectAndRun(Output &output)
{
    if (!m_fleet.isOn())
        return Command::connectAndRun(output);
    return m_fleet.run(m_files, m_options, historyPath(), output);
}

int SendCommand::run(Session &session)
{
    return session.send(m_files, m_options);
}

int SendCommand::plannedFiles() const
{
    return int(m_files.size());
}
