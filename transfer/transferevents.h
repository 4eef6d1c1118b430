#pragma once

// The values that belong to one transfer or receive code, carried with it,
// so a reader that handles the code late never sees values a later event
// has already overwritten.

#include "transfer/transfercodes.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

class FileReceiver;

// What cut a reception short of its end marker (RecTimeout).
enum class ReceptionCut {
    Stall,       // the controller went quiet
    StreamEnded, // no more bytes would come: the connection ended
    Stopped,     // the user stopped it
};

struct ReceiveEvent
{
    int code = -1;
    quint64 fileSize = 0;   // announced by the header
    quint64 fileBytes = 0;  // contents written to the file
    quint64 totalBytes = 0; // wire bytes of the reception, markers included
    // RecRawData: the chunk as a log shows it (Protocol::printable, line
    // breaks kept), at most MaxRawChars, so reports queued behind a busy
    // reader stay small.
    QString rawText;
    quint64 rawSize = 0; // the chunk's whole size
    // From the start marker's arrival to this code; 0 before a reception.
    qint64 elapsedMs = 0;
    // RecDone: no MD5 section vouched for the file, and the bytes stored
    // differ from the size announced.
    bool sizeMismatch = false;
    // The received name (every code but RecRawData), and for
    // RecCreateFailed whether it was refused as one of the program's own
    // files.
    QString fileName;
    bool programFile = false;
    // RecDone: the digest the header announced, which the contents matched;
    // empty for a file that came without one. RecMd5Mismatch: the one
    // announced, empty if it was not 32 hex digits.
    QByteArray md5Hex;
    // RecMd5Mismatch: the digest the contents gave.
    QByteArray computedMd5Hex;
    // RecDone, RecWriteFailed: where a verified file lies when it could not
    // take its own name (FileReceiver::savedAs).
    QString savedAs;
    // RecDone: what the file met under its name.
    ExistingFile existing = ExistingFile::None;
    // RecWriteFailed: why.
    WriteFailure writeFailure = WriteFailure::None;
    // RecTimeout: why.
    ReceptionCut cut = ReceptionCut::Stall;
    // The received file's path (FileReceiver::filePath): where it goes, or
    // after RecDone where it lies, under a free name too; empty for a name
    // refused.
    QString filePath;

    static constexpr int MaxRawChars = 500;

    // The code with the receiver's values for it. The elapsed time is the
    // caller's, who keeps the reception's clock.
    static ReceiveEvent of(int code, const FileReceiver &receiver, qint64 elapsedMs = 0);
};

struct SendEvent
{
    int code = -1;
    quint64 fileSize = 0;
    quint64 bytesRead = 0;
    quint64 bytesWritten = 0;
    qint64 elapsedMs = 0; // since TransStarted of this send
    QByteArray md5Hex;    // the digest of the header, once the file is hashed
};

Q_DECLARE_METATYPE(ReceiveEvent)
Q_DECLARE_METATYPE(SendEvent)

// For queued connections and invokeMethod; any thread, any number of times.
inline void registerTransferEvents()
{
    qRegisterMetaType<ReceiveEvent>("ReceiveEvent");
    qRegisterMetaType<SendEvent>("SendEvent");
}
