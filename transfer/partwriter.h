#pragma once

#include "transfer/receivedisk.h"
#include "transfer/transfercodes.h"

#include <QFile>
#include <QString>

#include <memory>

// Writes one reception's contents into its partial file, through the
// disk's device, and never into the disk's last free space.
class PartWriter
{
public:
    // The disk's free space is looked at again after at most this much.
    static constexpr qint64 SpaceCheckBytes = 4 * 1024 * 1024;

    // file: the partial file, open (PartFile::create).
    PartWriter(std::unique_ptr<QFile> file, const ReceiveDisk &disk);

    // None when all of it was written.
    WriteFailure write(const char *data, qsizetype size);
    bool flush() { return m_file->flush(); }

private:
    bool leavesReserve(qsizetype size);

    std::unique_ptr<QFile> m_file;
    // The disk's, in front of m_file, or none; after it, so it goes first.
    std::unique_ptr<QIODevice> m_device;
    const ReceiveDisk::FreeSpace m_freeSpace;
    const QString m_directory;
    qint64 m_roomBeforeLook = 0; // bytes to write before the disk's free space is looked at
};
