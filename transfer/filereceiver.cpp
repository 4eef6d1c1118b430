#include "transfer/filereceiver.h"

#include "transfer/hashthread.h"
#include "transfer/ownfiles.h"
#include "transfer/partfile.h"
#include "transfer/partwriter.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileReceiver::FileReceiver(DirectoryProvider directory, OnCode onCode, ReceiveDisk disk)
    : m_parser(this), m_directory(std::move(directory)), m_onCode(std::move(onCode)),
      m_disk(std::move(disk)), m_hasher(std::make_unique<HashThread>())
{
    m_filling.reserve(size_t(WriteBytes));
    m_writing.reserve(size_t(WriteBytes));
}

// A file still open keeps what came in its partial file; no code.
FileReceiver::~FileReceiver()
{
    if (m_part)
        writeFilled();
}

void FileReceiver::feed(const QByteArray &chunk, qint64 nowMs)
{
    m_parser.feed(chunk, nowMs);
    endBatch();
}

void FileReceiver::feed(const QList<QByteArray> &chunks, qint64 nowMs)
{
    for (const QByteArray &chunk : chunks)
        m_parser.feed(chunk, nowMs);
    endBatch();
}

// What a batch brought is on disk before its code says so.
void FileReceiver::endBatch()
{
    if (m_part && !writeFilled()) {
        m_parser.discardTransfer();
        failWrite();
        return;
    }
    if (m_startDue) {
        announce(RecStarted);
    } else if (m_wrote && m_parser.transferOpen()) {
        announce(RecProgress);
    }
}

void FileReceiver::poll(qint64 nowMs)
{
    m_parser.poll(nowMs);
}

void FileReceiver::rawData(const QByteArray &bytes)
{
    m_rawData = bytes;
    announce(RecRawData);
}

bool FileReceiver::transferOpened(const FrameHeader &header)
{
    beginReception(header);
    const QString name = Protocol::safeFileName(header.rawName);
    m_fileName = name;
    if (name.isEmpty())
        return refuse();
    const QString directory = receiveDirectory();
    if (OwnFiles::contains(directory, name)) {
        m_programFileRefused = true;
        return refuse();
    }
    std::unique_ptr<QFile> file = PartFile::create(directory, name);
    if (!file)
        return refuse();
    m_partPath = file->fileName();
    m_part = std::make_unique<PartWriter>(std::move(file), m_disk);
    m_finalPath = directory + QLatin1Char('/') + name;
    m_startDue = true;
    return true;
}

// Every figure of the last reception goes before the first code of this
// one, a refusal included.
void FileReceiver::beginReception(const FrameHeader &header)
{
    m_header = header;
    m_fileName.clear();
    m_partPath.clear();
    m_finalPath.clear();
    m_savedAs.clear();
    m_computedMd5Hex.clear();
    m_programFileRefused = false;
    m_writeFailure = WriteFailure::None;
    m_existingFile = ExistingFile::None;
    m_hasher->reset();
    m_announcedSize = header.size;
    m_fileBytes = 0;
    m_totalBytes = quint64(header.headerBytes);
}

bool FileReceiver::refuse()
{
    announce(RecCreateFailed);
    return false;
}

bool FileReceiver::write(const char *data, qsizetype size)
{
    const WriteFailure failure = m_part->write(data, size);
    if (failure != WriteFailure::None)
        m_writeFailure = failure;
    return failure == WriteFailure::None;
}

// Far past the size announced, the reception can no longer be the file
// announced. Up to the margin it still may: a controller can announce a
// little less than it sends.
bool FileReceiver::pastAnnouncedSize() const
{
    if (!m_header.sizeValid || m_fileBytes <= m_announcedSize)
        return false;
    const quint64 margin = qMax<quint64>(OverrunMarginBytes, m_announcedSize / 100);
    return m_fileBytes - m_announcedSize > margin;
}

// Gathered, and written in large pieces: adjacent contents go to the disk
// in one call each WriteBytes.
bool FileReceiver::contents(const char *data, qsizetype size)
{
    if (!m_part)
        return false;
    m_fileBytes += quint64(size);
    m_wrote = true;
    if (pastAnnouncedSize()) {
        m_writeFailure = WriteFailure::PastAnnouncedSize;
        failWrite();
        return false;
    }
    while (size > 0) {
        const qsizetype room = WriteBytes - qsizetype(m_filling.size());
        const qsizetype piece = qMin(size, room);
        m_filling.insert(m_filling.end(), data, data + piece);
        data += piece;
        size -= piece;
        if (qsizetype(m_filling.size()) == WriteBytes && !writeFilled()) {
            failWrite();
            return false;
        }
    }
    return true;
}

// Hands the gathered contents to the hash thread and writes them meanwhile;
// the other buffer fills next, once its own hashing is done.
bool FileReceiver::writeFilled()
{
    if (m_filling.empty())
        return true;
    const quint64 ticket =
        m_header.hasMd5 ? m_hasher->add(m_filling.data(), qsizetype(m_filling.size())) : 0;
    const bool written = write(m_filling.data(), qsizetype(m_filling.size()));
    std::swap(m_filling, m_writing);
    std::swap(m_fillingTicket, m_writingTicket);
    m_writingTicket = ticket;
    m_hasher->waitFor(m_fillingTicket);
    m_filling.clear();
    return written;
}

void FileReceiver::transferEnded()
{
    if (!writeFilled() || !closeFile()) {
        failWrite();
        return;
    }
    // A digest field that is not 32 hex digits cannot vouch for the file.
    if (m_header.hasMd5 && !digestMatches()) {
        m_computedMd5Hex = m_hasher->result().toHex();
        announce(RecMd5Mismatch);
        return;
    }
    if (!storeVerified()) {
        // Verified contents are never deleted for want of a name.
        m_savedAs = m_partPath;
        m_writeFailure = WriteFailure::Disk;
        announce(RecWriteFailed);
        return;
    }
    announce(RecDone);
}

// Under its own name, or else under the first free "name (n)" beside it;
// a file already there goes as the rule for existing files says.
bool FileReceiver::storeVerified()
{
    const QFileInfo older(m_finalPath);
    if (older.exists() || older.isSymLink()) {
        m_existingFile = ExistingFile::Replaced;
        if (m_existingFiles == ExistingFiles::KeepBoth) {
            m_existingFile = ExistingFile::KeptBoth;
            return storeBeside();
        }
        if (m_existingFiles == ExistingFiles::SkipIdentical && !m_header.hasMd5) {
            m_existingFile = ExistingFile::KeptBothUnverified;
            return storeBeside();
        }
        if (m_existingFiles == ExistingFiles::SkipIdentical && existingIsIdentical()) {
            m_existingFile = ExistingFile::Identical;
            QFile::remove(m_partPath);
            return true;
        }
    }
    if (PartFile::replace(m_partPath, m_finalPath))
        return true;
    // A name held elsewhere is no rule's doing: savedAs tells.
    m_existingFile = ExistingFile::None;
    return storeBeside();
}

bool FileReceiver::storeBeside()
{
    m_savedAs = PartFile::moveToFreeName(m_partPath, m_finalPath);
    if (m_savedAs.isEmpty())
        return false;
    m_finalPath = m_savedAs;
    return true;
}

// Called for a file whose digest matched: the older file is identical when
// it has the same size and digest. A link is never followed to compare.
bool FileReceiver::existingIsIdentical() const
{
    const QFileInfo older(m_finalPath);
    if (older.isSymLink() || !older.isFile() || quint64(older.size()) != m_fileBytes)
        return false;
    QFile file(m_finalPath);
    QCryptographicHash hash(QCryptographicHash::Md5);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) &&
           hash.result().toHex() == m_header.md5Hex;
}

bool FileReceiver::digestMatches()
{
    if (m_header.md5Hex.isEmpty())
        return false;
    if (!writeFilled()) {
        failWrite();
        return false;
    }
    return m_hasher->result().toHex() == m_header.md5Hex;
}

void FileReceiver::transferTimedOut()
{
    if (!writeFilled()) {
        failWrite();
        return;
    }
    closeFile();
    announce(RecTimeout);
}

// A temporary file's close() keeps its handle open for reuse; only deleting
// it lets go of the file, which Windows needs before the file can be renamed
// (or the user can touch a partial file).
bool FileReceiver::closeFile()
{
    const bool flushed = m_part && m_part->flush();
    m_part.reset();
    return flushed;
}

QString FileReceiver::receiveDirectory() const
{
    return directoryFor(m_directory ? m_directory() : QString());
}

QString FileReceiver::directoryFor(const QString &chosen)
{
    if (!chosen.isEmpty())
        return chosen;
    // Never the filesystem root: an unset directory is the program's own.
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                        : QDir::currentPath();
}

// Removes the partial file; why, write() or the caller has said, unless
// the file could not be closed.
void FileReceiver::failWrite()
{
    if (m_writeFailure == WriteFailure::None)
        m_writeFailure = WriteFailure::Disk;
    m_filling.clear();
    m_savedAs.clear();
    // A partial file that keeps a full disk full fails the next file too.
    closeFile();
    QFile::remove(m_partPath);
    announce(RecWriteFailed);
}

void FileReceiver::announce(int code)
{
    if (code != RecStarted)
        announceStartIfDue();
    m_startDue = false;
    m_wrote = false;
    if (code != RecRawData)
        m_totalBytes = m_parser.transferBytes();
    m_onCode(code, *this);
}

// An opening chunk that also ends its transfer still reports RecStarted
// before the end code.
void FileReceiver::announceStartIfDue()
{
    if (m_startDue) {
        m_startDue = false;
        announce(RecStarted);
    }
}
