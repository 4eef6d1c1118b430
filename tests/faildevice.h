#pragma once

#include "transfer/receivedisk.h"

#include <QIODevice>

#include <functional>

// Stand-ins for the receive engine's disk: devices that a reception's
// contents go through on their way to the partial file.

// Writes on to the partial file; the stand-ins below change how.
class ThroughDevice : public QIODevice
{
public:
    explicit ThroughDevice(QIODevice *partFile) : m_partFile(partFile)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        return m_partFile->write(data, size);
    }

private:
    QIODevice *const m_partFile;
};

// A disk that fills up: the write that would pass failAfter bytes is cut
// short there, and every one after it fails.
class FailDevice : public ThroughDevice
{
public:
    FailDevice(QIODevice *partFile, qint64 failAfter)
        : ThroughDevice(partFile), m_failAfter(failAfter)
    {}

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        if (m_written >= m_failAfter) {
            setErrorString(QStringLiteral("FAILDEVICE"));
            return -1;
        }
        const qint64 written = ThroughDevice::writeData(data, qMin(size, m_failAfter - m_written));
        m_written += qMax<qint64>(written, 0);
        return written;
    }

private:
    const qint64 m_failAfter;
    qint64 m_written = 0;
};

// A slow disk: every write first runs beforeWrite, which holds it back.
class SlowDevice : public ThroughDevice
{
public:
    using BeforeWrite = std::function<void(const char *data, qint64 size)>;

    SlowDevice(QIODevice *partFile, BeforeWrite beforeWrite)
        : ThroughDevice(partFile), m_beforeWrite(std::move(beforeWrite))
    {}

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        m_beforeWrite(data, size);
        return ThroughDevice::writeData(data, size);
    }

private:
    const BeforeWrite m_beforeWrite;
};

inline ReceiveDisk failingDisk(qint64 failAfter)
{
    ReceiveDisk disk;
    disk.device = [failAfter](QIODevice *partFile) {
        return std::make_unique<FailDevice>(partFile, failAfter);
    };
    return disk;
}

// beforeWrite runs in the receiving thread, one write at a time.
inline ReceiveDisk slowDisk(const SlowDevice::BeforeWrite &beforeWrite)
{
    ReceiveDisk disk;
    disk.device = [beforeWrite](QIODevice *partFile) {
        return std::make_unique<SlowDevice>(partFile, beforeWrite);
    };
    return disk;
}
