#pragma once

#include "settings/existingfiles.h"
#include "transfer/frameparser.h"
#include "transfer/receivedisk.h"
#include "transfer/transfercodes.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class HashThread;
class PartWriter;

// Turns an incoming byte stream into files in a receive directory and
// reports each step by a receive-state code (RecStarted, RecProgress,
// RecDone, ...). No thread or socket: the owner feeds chunks and polls.
//
// A transfer is written to a new hidden file beside the target,
// ".<name-prefix>.<random>.part", created exclusively, and renamed over
// "<name>" only when it ended well, so a failed transfer never leaves a half
// file under the real name, and no existing file or link is written through.
// A failed write removes the partial file; a timeout or a digest mismatch
// keeps it. A reception that runs far past its announced size, or would
// take the disk's last free space, fails as a write does (writeFailure()
// says which). Codes are reported at most once per batch for progress: an
// opening batch reports RecStarted, a later one RecProgress, and a batch
// that ends the transfer only the end code. The digest is computed in a
// thread of its own while the contents are written.
class FileReceiver : private FrameParser::Listener
{
public:
    // Contents are written in pieces of up to this size.
    static constexpr qsizetype WriteBytes = 1024 * 1024;
    // A reception fails once it is this far past the size announced, or 1 %
    // of that size if more (WriteFailure::PastAnnouncedSize).
    static constexpr quint64 OverrunMarginBytes = 64 * 1024;

    // Called synchronously for every code, after the statistics are updated.
    using OnCode = std::function<void(int code, const FileReceiver &receiver)>;
    using DirectoryProvider = std::function<QString()>;

    // Contents go to disk, the real one unless a stand-in is given.
    FileReceiver(DirectoryProvider directory, OnCode onCode, ReceiveDisk disk = {});
    ~FileReceiver() override;

    // One chunk, or the chunks of one batch; their contents are written and
    // progress announced when the batch ends.
    void feed(const QByteArray &chunk, qint64 nowMs);
    void feed(const QList<QByteArray> &chunks, qint64 nowMs);
    void poll(qint64 nowMs);
    // The connection closed: an open transfer ends as if it had stalled.
    void endOfStream() { m_parser.endOfStream(); }
    qint64 msUntilTimeout(qint64 nowMs) const { return m_parser.msUntilTimeout(nowMs); }
    bool receiving() const { return m_parser.transferOpen(); }

    // Statistics of the current (or last) reception.
    quint64 announcedSize() const { return m_announcedSize; }
    quint64 fileBytes() const { return m_fileBytes; }
    quint64 totalBytes() const { return m_totalBytes; }
    bool announcedMd5() const { return m_header.hasMd5; }
    // The digest announced, lower case; empty without a valid one.
    QByteArray md5Hex() const { return m_header.md5Hex; }
    // After RecMd5Mismatch: the digest the contents gave.
    QByteArray computedMd5Hex() const { return m_computedMd5Hex; }
    // No MD5 section vouched for the file, and the bytes stored differ from
    // the size announced: the file is stored, but not verified.
    bool sizeMismatch() const { return !m_header.hasMd5 && m_fileBytes != m_announcedSize; }
    // The last RecCreateFailed refused the name as one of the program's own
    // files (OwnFiles), not for a file that could not be created.
    bool programFileRefused() const { return m_programFileRefused; }
    // The received name, once it passed the name rules; for RecCreateFailed
    // too.
    QString fileName() const { return m_fileName; }
    // Final path of the current (or last) file; the file exists under this
    // name only after RecDone.
    QString filePath() const { return m_finalPath; }
    QByteArray lastRawData() const { return m_rawData; }
    // Where the current (or last) file was written until it was complete.
    QString partPath() const { return m_partPath; }
    // Set when a verified file could not take its own name (a folder of that
    // name, or a file another program holds open): the free name it took
    // instead (RecDone), or its partial file, which is kept (RecWriteFailed).
    QString savedAs() const { return m_savedAs; }
    // After RecDone: what the file met under its name.
    ExistingFile existingFile() const { return m_existingFile; }
    // Applies from the next file's end on.
    void setExistingFiles(ExistingFiles rule) { m_existingFiles = rule; }
    // Why the last RecWriteFailed ended its reception; None otherwise.
    WriteFailure writeFailure() const { return m_writeFailure; }

    // Where files go for the directory chosen: an unset one is the program's.
    static QString directoryFor(const QString &chosen);

private:
    void rawData(const QByteArray &bytes) override;
    bool transferOpened(const FrameHeader &header) override;
    bool contents(const char *data, qsizetype size) override;
    bool digestMatches() override;
    void transferEnded() override;
    void transferTimedOut() override;

    void beginReception(const FrameHeader &header);
    bool refuse();
    QString receiveDirectory() const;
    bool write(const char *data, qsizetype size);
    bool pastAnnouncedSize() const;
    void endBatch();
    bool writeFilled();
    bool closeFile();
    bool storeVerified();
    bool storeBeside();
    bool existingIsIdentical() const;
    void failWrite();
    void announce(int code);
    void announceStartIfDue();

    FrameParser m_parser;
    DirectoryProvider m_directory;
    OnCode m_onCode;
    ReceiveDisk m_disk;
    std::unique_ptr<PartWriter> m_part; // while a transfer is written
    QString m_partPath;
    // Contents gather in one buffer while the other is written and hashed.
    std::vector<char> m_filling;
    std::vector<char> m_writing;
    quint64 m_fillingTicket = 0; // the hash thread's tickets of each buffer
    quint64 m_writingTicket = 0;
    std::unique_ptr<HashThread> m_hasher;
    FrameHeader m_header;
    QByteArray m_computedMd5Hex;
    QString m_finalPath;
    QString m_savedAs;
    QByteArray m_rawData;
    quint64 m_announcedSize = 0;
    quint64 m_fileBytes = 0;
    quint64 m_totalBytes = 0;
    QString m_fileName;
    WriteFailure m_writeFailure = WriteFailure::None;
    ExistingFiles m_existingFiles = ExistingFiles::Overwrite;
    ExistingFile m_existingFile = ExistingFile::None;
    bool m_programFileRefused = false;
    bool m_startDue = false; // RecStarted waits for the end of its chunk
    bool m_wrote = false;    // contents written since the last code
};
