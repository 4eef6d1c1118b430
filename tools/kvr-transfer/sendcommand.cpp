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
    keepHistory();
    for (const QCommandLineOption &option : FleetSend::options())
        addOption(option);
}

bool SendCommand::readOptions(const QCommandLineParser &parser, const QStringList &arguments,
                              const SettingsFile::Values &, QString *error)
{
    qint64 bufferSize = Defaults::BufferSize;
    if (!readNumber(parser, "buffer-size", Limits::MinBufferSize, Limits::MaxBufferSize,
                    &bufferSize, error))
        return false;
    m_bufferSize = int(bufferSize);
    m_files = arguments;
    return m_fleet.read(parser, port(), &m_files, error) && checkFiles(m_files, error);
}

int SendCommand::connectAndRun(Output &output)
{
    if (!m_fleet.isOn())
        return Command::connectAndRun(output);
    return m_fleet.run(m_files, m_bufferSize, historyPath(), output);
}

int SendCommand::run(Session &session)
{
    return session.send(m_files, m_bufferSize);
}

int SendCommand::plannedFiles() const
{
    return int(m_files.size());
}
