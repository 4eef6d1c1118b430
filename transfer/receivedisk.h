#pragma once

#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

// The receiver's way to the disk, given by whoever makes the receiver: the
// device a reception's contents go through on their way to its partial
// file, and the free space of the receive folder's disk. Empty functions
// mean the disk itself; tests and benchmarks give their own to stand in for
// a slow, full or failing disk.
struct ReceiveDisk
{
    struct Space
    {
        qint64 available = -1; // -1: the disk does not tell
        qint64 total = -1;
    };
    // Given the open partial file, the device, open for writing, that its
    // contents are written through instead.
    using Device = std::function<std::unique_ptr<QIODevice>(QIODevice *partFile)>;
    using FreeSpace = std::function<Space(const QString &directory)>;

    Device device;
    FreeSpace freeSpace;
};
