#pragma once

#include "history/transferoutcome.h"
#include "transfer/transferevents.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// One finished send or reception, made once from its end event: the line
// history.csv records, what kvr-transfer reports of the file, and the
// window's notice all read it.
struct TransferRecord
{
    enum class Direction { Send, Receive };

    // The end event of a send of the file at filePath to host:port.
    static TransferRecord ofSend(const SendEvent &event, const QString &filePath,
                                 const QString &host, quint16 port);
    // The end event of a reception from host:port; cut says why one that
    // ended without its end marker (RecTimeout) was cut.
    static TransferRecord ofReception(const ReceiveEvent &event, TransferOutcome::Cut cut,
                                      const QString &host, quint16 port);

    // "send" or "receive".
    static QString word(Direction direction);
    // The file is there, verified or as announced: a skipped identical one too.
    bool done() const
    {
        return outcome == QLatin1String(TransferOutcome::Done) ||
               outcome == QLatin1String(TransferOutcome::SkippedIdentical);
    }

    Direction direction = Direction::Send;
    QString host; // the controller's address
    quint16 port = 0;
    QString fileName;
    // Where the file lies: the one sent; the one received, under its own
    // name or another (underOtherName). Empty for a name refused.
    QString path;
    // A received file that could not take its own name: stored under a free
    // one beside it, or, verified but not stored, kept as its partial file.
    bool underOtherName = false;
    quint64 size = 0;      // as announced; 0 for a name refused, which began no file
    quint64 bytes = 0;     // contents read for sending, or stored
    quint64 wireBytes = 0; // markers included
    // The contents' digest when known: the one a send announced, the one a
    // reception matched.
    QByteArray md5Hex;
    // A reception's digest that failed: the one announced and the one the
    // contents gave. history.csv keeps neither, as its digest of a
    // reception is one that vouched for the file.
    QByteArray announcedMd5Hex;
    QByteArray computedMd5Hex;
    QString outcome; // TransferOutcome's word
    qint64 ms = 0;
    QDateTime endTime;
    // What a reception's outcome does not tell.
    bool programFile = false;
    WriteFailure writeFailure = WriteFailure::None;
    ExistingFile existing = ExistingFile::None;
};
