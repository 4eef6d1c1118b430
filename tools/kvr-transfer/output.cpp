#include "output.h"

#include "exitcodes.h"

#include "transfer/protocol.h"

#include <QDir>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>

#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr qint64 RedrawMs = 100;

#ifdef Q_OS_WIN
// A console shows UTF-8 bytes in its own code page, so Chinese names come
// out garbled there: it is given the text itself. False if the stream is not
// a console (a pipe or a file), which gets UTF-8.
bool writeConsole(FILE *stream, const QString &text)
{
    // Older consoles take only so much in one call.
    constexpr int MaxChars = 8192;
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
        return false;
    std::fflush(stream);
    const auto *chars = reinterpret_cast<const wchar_t *>(text.utf16());
    for (int at = 0; at < text.size();) {
        int size = qMin(MaxChars, int(text.size()) - at);
        if (at + size < text.size() && text.at(at + size - 1).isHighSurrogate())
            --size; // a pair stays whole
        DWORD written = 0;
        if (!WriteConsoleW(console, chars + at, DWORD(size), &written, nullptr) || written == 0)
            break;
        at += int(written);
    }
    return true;
}
#endif

void write(FILE *stream, const QString &line)
{
#ifdef Q_OS_WIN
    if (writeConsole(stream, line))
        return;
#endif
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString megabytes(double bytes)
{
    return QString::number(bytes / 1e6, 'f', 1) + QLatin1String(" MB");
}

double bytesPerSecond(quint64 bytes, qint64 ms)
{
    return double(bytes) * 1000.0 / double(qMax<qint64>(ms, 1));
}

QString outcomeText(const QString &outcome)
{
    QString text = outcome;
    return text.replace(QLatin1Char('-'), QLatin1Char(' '));
}

// Why a reception was ended before its end marker; empty for a disk that
// refused, which the outcome says.
QString writeFailureNote(WriteFailure failure)
{
    switch (failure) {
    case WriteFailure::PastAnnouncedSize:
        return QStringLiteral("ran far past the size announced without an end marker; its "
                              "partial file is removed");
    case WriteFailure::FreeSpace:
        return QStringLiteral("the disk's last free space is kept free; its partial file is "
                              "removed");
    default:
        return QString();
    }
}

// What a received file met under its name; empty when it simply took it.
QString existingNote(const TransferRecord &record)
{
    switch (record.existing) {
    case ExistingFile::Identical:
        return QStringLiteral("the same as the file of its name there, which stays; this copy is "
                              "dropped");
    case ExistingFile::KeptBoth:
        return QStringLiteral("a file of its name was there; stored as %1");
    case ExistingFile::KeptBothUnverified:
        return QStringLiteral("no digest to tell whether it is the file of its name there; both "
                              "kept, stored as %1");
    case ExistingFile::None:
    case ExistingFile::Replaced:
        break;
    }
    return QString();
}

// Anything else the user must know of a file, such as where it lies.
QString noteOf(const TransferRecord &record)
{
    const QString existing = existingNote(record);
    if (!existing.isEmpty())
        return existing.contains(QLatin1String("%1"))
                   ? existing.arg(QDir::toNativeSeparators(record.path))
                   : existing;
    if (record.underOtherName) {
        const QString note = record.writeFailure == WriteFailure::None
                                 ? QStringLiteral("its name was taken; stored as %1")
                                 : QStringLiteral("verified; kept as %1");
        return note.arg(QDir::toNativeSeparators(record.path));
    }
    if (record.programFile)
        return QStringLiteral("one of the program's own files, left as it was");
    return writeFailureNote(record.writeFailure);
}

QString endLine(const TransferRecord &record, int exitCode)
{
    const QString name = Protocol::printable(record.fileName);
    const QString note = noteOf(record);
    const QString shownNote =
        note.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(Protocol::printable(note));
    if (exitCode == 0) {
        return QStringLiteral("%1 %2: %3 bytes, %4 on the wire, %5 s, %6")
                   .arg(record.direction == TransferRecord::Direction::Send
                            ? QLatin1String("sent")
                            : QLatin1String("received"),
                        name, QString::number(record.bytes), QString::number(record.wireBytes),
                        QString::number(double(record.ms) / 1000.0, 'f', 2),
                        TransferRate::rateText(bytesPerSecond(record.bytes, record.ms))) +
               shownNote;
    }
    return QStringLiteral("%1 failed: %2: %3 after %4 of %5 bytes")
               .arg(TransferRecord::word(record.direction), name, outcomeText(record.outcome),
                    QString::number(record.bytes), QString::number(record.size)) +
           shownNote;
}

// What a file's started and ended events both say.
QJsonObject fileJson(const QString &type, TransferRecord::Direction direction, const QString &name,
                     const QString &path, quint64 size)
{
    QJsonObject object{{QStringLiteral("event"), type},
                       {QStringLiteral("direction"), TransferRecord::word(direction)},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("size"), double(size)}};
    if (!path.isEmpty())
        object.insert(QStringLiteral("path"), path);
    return object;
}

QJsonObject endedJson(const TransferRecord &record, int exitCode)
{
    QJsonObject object = fileJson(QStringLiteral("ended"), record.direction, record.fileName,
                                  record.path, record.size);
    object.insert(QStringLiteral("outcome"), record.outcome);
    const QString note = noteOf(record);
    if (!note.isEmpty())
        object.insert(QStringLiteral("note"), note);
    object.insert(QStringLiteral("exitCode"), exitCode);
    object.insert(QStringLiteral("bytes"), double(record.bytes));
    object.insert(QStringLiteral("wireBytes"), double(record.wireBytes));
    object.insert(QStringLiteral("ms"), double(record.ms));
    object.insert(QStringLiteral("bytesPerSecond"), bytesPerSecond(record.bytes, record.ms));
    return object;
}

QString secondsText(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2);
}

QString targetLine(const TargetResult &result, int planned)
{
    const QString line =
        QStringLiteral("[%1] %2: %3 of %4 files, %5 bytes, %6 s, %7")
            .arg(result.status, result.target.named(), QString::number(result.filesDone()),
                 QString::number(planned), QString::number(result.bytes()), secondsText(result.ms),
                 TransferRate::rateText(bytesPerSecond(result.bytes(), result.ms)));
    return result.error.isEmpty() ? line : line + QStringLiteral(": ") + result.error;
}

QJsonObject targetJson(const TargetResult &result, int planned)
{
    return {{QStringLiteral("event"), QStringLiteral("target-ended")},
            {QStringLiteral("status"), result.status},
            {QStringLiteral("exitCode"), result.exitCode},
            {QStringLiteral("error"), result.error},
            {QStringLiteral("files"), planned},
            {QStringLiteral("filesSent"), result.filesDone()},
            {QStringLiteral("bytes"), double(result.bytes())},
            {QStringLiteral("ms"), double(result.ms)},
            {QStringLiteral("bytesPerSecond"), bytesPerSecond(result.bytes(), result.ms)}};
}

// Columns as wide as their widest cell, the last as it is.
QString table(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows)
        for (int at = 0; at < row.size(); ++at) {
            if (widths.size() <= at)
                widths.append(0);
            widths[at] = qMax(widths[at], int(row[at].size()));
        }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int at = 0; at < row.size(); ++at)
            line += at + 1 < row.size() ? row[at].leftJustified(widths[at] + 2) : row[at];
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString targetsTable(const QList<TargetResult> &results, int planned)
{
    QList<QStringList> rows{{QStringLiteral("TARGET"), QStringLiteral("LABEL"),
                             QStringLiteral("STATUS"), QStringLiteral("FILES"),
                             QStringLiteral("BYTES"), QStringLiteral("SECONDS"),
                             QStringLiteral("ERROR")}};
    for (const TargetResult &result : results)
        rows.append({result.target.address(), result.target.label, result.status,
                     QStringLiteral("%1/%2").arg(result.filesDone()).arg(planned),
                     QString::number(result.bytes()), secondsText(result.ms),
                     Protocol::printable(result.error)});
    return table(rows);
}

} // namespace

Output::Output()
    : m_out{stdout, nullptr}, m_err{stderr, nullptr}, m_lock(std::make_shared<std::mutex>()),
      m_terminal(isatty(fileno(stdout)))
{
    // A line whole in the buffer leaves it in one write on fflush, also for
    // a pipe that GNU parallel reads line by line.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    m_clock.start();
}

Output::Output(QIODevice *out, QIODevice *err)
    : m_out{nullptr, out}, m_err{nullptr, err}, m_lock(std::make_shared<std::mutex>()),
      m_terminal(false)
{
    m_clock.start();
}

// No progress line: the lines of several transfers would overwrite it.
Output::Output(const Output &parent, const Target &target)
    : m_out(parent.m_out), m_err(parent.m_err), m_lock(parent.m_lock), m_terminal(false),
      m_json(parent.m_json), m_ofTarget(true), m_target(target.address()), m_label(target.label)
{
    m_clock.start();
}

std::unique_ptr<Output> Output::forTarget(const Target &target) const
{
    return std::unique_ptr<Output>(new Output(*this, target));
}

QString Output::failureReason() const
{
    return m_fileFailure.isEmpty() ? m_firstError : m_fileFailure;
}

void Output::setJson(bool json)
{
    m_json = json;
}

void Output::print(const Stream &stream, const QString &text)
{
    const std::lock_guard<std::mutex> lock(*m_lock);
    if (stream.device)
        stream.device->write(text.toUtf8());
    else
        write(stream.file, text);
}

void Output::printJson(const QJsonObject &object)
{
    QJsonObject event = object;
    if (m_ofTarget) {
        event.insert(QStringLiteral("target"), m_target);
        event.insert(QStringLiteral("label"), m_label);
    }
    print(m_out, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) +
                     QLatin1Char('\n'));
}

void Output::fileStarted(TransferRecord::Direction direction, const QString &name,
                         const QString &path, quint64 size)
{
    m_name = Protocol::printable(name);
    m_rate.reset();
    m_rate.add(m_clock.elapsed(), 0);
    m_lastDrawMs = -1;
    if (m_json)
        printJson(fileJson(QStringLiteral("started"), direction, name, path, size));
}

// At most ten redraws a second: a terminal over SSH must not be flooded.
void Output::progress(quint64 bytes, quint64 size)
{
    if (!m_terminal || m_json)
        return;
    const qint64 now = m_clock.elapsed();
    m_rate.add(now, bytes);
    if (m_lastDrawMs >= 0 && now - m_lastDrawMs < RedrawMs)
        return;
    m_lastDrawMs = now;
    const int percent = size > 0 ? int(bytes * 100 / size) : 100;
    const QString line =
        QStringLiteral("%1  %2%  %3 of %4  %5  %6 left")
            .arg(m_name, QString::number(percent), megabytes(double(bytes)),
                 megabytes(double(size)), TransferRate::rateText(m_rate.bytesPerSecond()),
                 TransferRate::timeText(m_rate.secondsLeft(size - qMin(bytes, size))));
    print(m_out, QLatin1Char('\r') + line.leftJustified(m_lineLength));
    m_lineLength = line.size();
}

void Output::clearProgress()
{
    if (m_lineLength == 0)
        return;
    print(m_out, QLatin1Char('\r') + QString(m_lineLength, QLatin1Char(' ')) + QLatin1Char('\r'));
    m_lineLength = 0;
}

void Output::fileEnded(const TransferRecord &record, int exitCode)
{
    clearProgress();
    if (m_ofTarget) {
        m_ended.append(record);
        if (exitCode != ExitOk && m_fileFailure.isEmpty())
            m_fileFailure = endLine(record, exitCode);
    }
    if (m_json)
        printJson(endedJson(record, exitCode));
    else if (!m_ofTarget)
        print(m_out, endLine(record, exitCode) + QLatin1Char('\n'));
}

void Output::rawData(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    if (m_json) {
        printJson({{QStringLiteral("event"), QStringLiteral("raw")},
                   {QStringLiteral("bytes"), bytes.size()},
                   {QStringLiteral("text"), text}});
        return;
    }
    clearProgress();
    print(m_err, QStringLiteral("raw data (%1 bytes): %2\n")
                     .arg(QString::number(bytes.size()), Protocol::printable(text)));
}

void Output::connectionLost()
{
    clearProgress();
    if (m_json)
        printJson({{QStringLiteral("event"), QStringLiteral("connection-lost")}});
    else
        error(QStringLiteral("the controller closed the connection"));
}

void Output::connected(const QString &host, quint16 port)
{
    tellLink(QStringLiteral("connected"), QStringLiteral("connected to %1:%2"), host, port);
}

void Output::reconnecting(const QString &host, quint16 port)
{
    tellLink(QStringLiteral("reconnecting"),
             QStringLiteral("no connection to %1:%2; trying again after 1, 2, 4, 8 s, then every "
                            "10 s"),
             host, port);
}

void Output::tellLink(const QString &event, const QString &text, const QString &host, quint16 port)
{
    clearProgress();
    if (m_json)
        printJson({{QStringLiteral("event"), event},
                   {QStringLiteral("controller"), host},
                   {QStringLiteral("port"), port}});
    else
        error(text.arg(host).arg(port));
}

void Output::greetingSent(const QString &peer)
{
    if (m_json)
        printJson({{QStringLiteral("event"), QStringLiteral("greeting-sent")},
                   {QStringLiteral("peer"), peer}});
    else
        print(m_out, QStringLiteral("greeting sent to %1\n").arg(peer));
}

// A target's end is told by targetEnded(), with what a report needs.
void Output::finished(int exitCode, int files, int failed)
{
    clearProgress();
    if (m_ofTarget)
        return;
    if (m_json) {
        printJson({{QStringLiteral("event"), QStringLiteral("finished")},
                   {QStringLiteral("exitCode"), exitCode},
                   {QStringLiteral("files"), files},
                   {QStringLiteral("failed"), failed}});
    } else if (exitCode == ExitInterrupted) {
        error(QStringLiteral("interrupted"));
    } else if (failed > 0) {
        error(QStringLiteral("%1 of %2 files failed").arg(failed).arg(files));
    }
}

void Output::error(const QString &message)
{
    if (m_ofTarget && m_firstError.isEmpty())
        m_firstError = message;
    const QString target = m_ofTarget ? m_target + QStringLiteral(": ") : QString();
    print(m_err, QStringLiteral("kvr-transfer: ") + target + message + QLatin1Char('\n'));
}

void Output::targetEnded(const TargetResult &result, int plannedFiles)
{
    if (!m_json) {
        print(m_out, targetLine(result, plannedFiles) + QLatin1Char('\n'));
        return;
    }
    QJsonObject event = targetJson(result, plannedFiles);
    event.insert(QStringLiteral("target"), result.target.address());
    event.insert(QStringLiteral("label"), result.target.label);
    printJson(event);
}

void Output::allEnded(int exitCode, const QList<TargetResult> &results, int plannedFiles)
{
    print(m_err, targetsTable(results, plannedFiles));
    const int failed = TargetResult::count(results, TargetResult::Failed);
    if (m_json) {
        printJson({{QStringLiteral("event"), QStringLiteral("finished")},
                   {QStringLiteral("exitCode"), exitCode},
                   {QStringLiteral("targets"), results.size()},
                   {QStringLiteral("sent"), TargetResult::count(results, TargetResult::Sent)},
                   {QStringLiteral("checked"), TargetResult::count(results, TargetResult::Checked)},
                   {QStringLiteral("failed"), failed}});
    } else if (exitCode == ExitInterrupted) {
        error(QStringLiteral("interrupted"));
    } else if (failed > 0) {
        error(QStringLiteral("%1 of %2 targets failed").arg(failed).arg(results.size()));
    }
}
