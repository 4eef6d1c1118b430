#include "history/transferrecord.h"

#include "transfer/protocol.h"

#include <QFileInfo>

namespace {

QString outcomeOf(const ReceiveEvent &event, TransferOutcome::Cut cut)
{
    TransferOutcome::Reception reception;
    reception.code = event.code;
    reception.sizeMismatch = event.sizeMismatch;
    reception.identical = event.existing == ExistingFile::Identical;
    reception.programFile = event.programFile;
    reception.cut = cut;
    reception.writeFailure = event.writeFailure;
    return TransferOutcome::ofReception(reception);
}

} // namespace

TransferRecord TransferRecord::ofSend(const SendEvent &event, const QString &filePath,
                                      const QString &host, quint16 port)
{
    TransferRecord record;
    record.direction = Direction::Send;
    record.host = host;
    record.port = port;
    record.fileName = Protocol::fileNameOf(filePath);
    record.path = QFileInfo(filePath).absoluteFilePath();
    record.size = event.fileSize;
    record.bytes = event.bytesRead;
    record.wireBytes = event.bytesWritten;
    record.md5Hex = event.md5Hex;
    record.outcome = TransferOutcome::ofSend(event.code);
    record.ms = event.elapsedMs;
    record.endTime = QDateTime::currentDateTime();
    return record;
}

TransferRecord TransferRecord::ofReception(const ReceiveEvent &event, TransferOutcome::Cut cut,
                                           const QString &host, quint16 port)
{
    TransferRecord record;
    record.direction = Direction::Receive;
    record.host = host;
    record.port = port;
    record.fileName = event.fileName;
    record.underOtherName = !event.savedAs.isEmpty();
    record.path = record.underOtherName ? event.savedAs : event.filePath;
    record.size = event.code == RecCreateFailed ? 0 : event.fileSize;
    record.bytes = event.fileBytes;
    record.wireBytes = event.totalBytes;
    const bool mismatch = event.code == RecMd5Mismatch;
    record.md5Hex = mismatch ? QByteArray() : event.md5Hex;
    record.announcedMd5Hex = mismatch ? event.md5Hex : QByteArray();
    record.computedMd5Hex = event.computedMd5Hex;
    record.outcome = outcomeOf(event, cut);
    record.ms = event.elapsedMs;
    record.endTime = QDateTime::currentDateTime();
    record.programFile = event.programFile;
    record.writeFailure = event.writeFailure;
    record.existing = event.existing;
    return record;
}

QString TransferRecord::word(Direction direction)
{
    return direction == Direction::Send ? QStringLiteral("send") : QStringLiteral("receive");
}
