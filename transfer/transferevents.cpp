#include "transfer/transferevents.h"

#include "transfer/filereceiver.h"
#include "transfer/protocol.h"

ReceiveEvent ReceiveEvent::of(int code, const FileReceiver &receiver, qint64 elapsedMs)
{
    ReceiveEvent event;
    event.code = code;
    if (code == RecRawData) {
        const QByteArray raw = receiver.lastRawData();
        event.rawText = Protocol::printable(raw, MaxRawChars, Protocol::Controls::Kept);
        event.rawSize = quint64(raw.size());
        return event;
    }
    event.fileSize = receiver.announcedSize();
    event.fileBytes = receiver.fileBytes();
    event.totalBytes = receiver.totalBytes();
    event.elapsedMs = elapsedMs;
    event.sizeMismatch = code == RecDone && receiver.sizeMismatch();
    if (code == RecDone || code == RecWriteFailed)
        event.savedAs = receiver.savedAs();
    if (code == RecDone)
        event.existing = receiver.existingFile();
    if (code == RecWriteFailed)
        event.writeFailure = receiver.writeFailure();
    event.fileName = receiver.fileName();
    event.filePath = receiver.filePath();
    event.programFile = code == RecCreateFailed && receiver.programFileRefused();
    if (code == RecDone || code == RecMd5Mismatch)
        event.md5Hex = receiver.md5Hex();
    if (code == RecMd5Mismatch)
        event.computedMd5Hex = receiver.computedMd5Hex();
    return event;
}
