#include "transfer/partwriter.h"

#include <QFileInfo>
#include <QStorageInfo>

namespace {

ReceiveDisk::Space diskSpaceOf(const QString &directory)
{
    const QStorageInfo storage(directory);
    if (!storage.isValid() || !storage.isReady())
        return {};
    return {storage.bytesAvailable(), storage.bytesTotal()};
}

// The free space a reception leaves: 1 % of the disk, at most 256 MiB.
qint64 reserveOf(qint64 diskBytes)
{
    return qMin<qint64>(diskBytes / 100, 256 * 1024 * 1024);
}

} // namespace

PartWriter::PartWriter(std::unique_ptr<QFile> file, const ReceiveDisk &disk)
    : m_file(std::move(file)), m_device(disk.device ? disk.device(m_file.get()) : nullptr),
      m_freeSpace(disk.freeSpace ? disk.freeSpace : ReceiveDisk::FreeSpace(diskSpaceOf)),
      m_directory(QFileInfo(m_file->fileName()).path())
{}

WriteFailure PartWriter::write(const char *data, qsizetype size)
{
    if (!leavesReserve(size))
        return WriteFailure::FreeSpace;
    QIODevice *device = m_device ? m_device.get() : m_file.get();
    return device->write(data, size) == size ? WriteFailure::None : WriteFailure::Disk;
}

// Whatever the sizes say, a reception never takes the disk's last free
// space. The disk is looked at again only once the room found at the last
// look is used up, and at most SpaceCheckBytes later.
bool PartWriter::leavesReserve(qsizetype size)
{
    if (size > m_roomBeforeLook) {
        const ReceiveDisk::Space space = m_freeSpace(m_directory);
        // A disk that does not tell leaves it to a failing write.
        qint64 room = SpaceCheckBytes;
        if (space.available >= 0 && space.total > 0)
            room = qMin(space.available - reserveOf(space.total), SpaceCheckBytes);
        if (room < size)
            return false;
        m_roomBeforeLook = room;
    }
    m_roomBeforeLook -= size;
    return true;
}
