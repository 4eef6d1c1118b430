#include "transfer/streamreceiver.h"

StreamReceiver::StreamReceiver(FileReceiver::DirectoryProvider directory,
                               FileReceiver::OnCode onCode, ReceiveDisk disk)
    : m_receiver(std::move(directory), std::move(onCode), std::move(disk))
{
    m_clock.start();
}

void StreamReceiver::feed(const QByteArray &bytes)
{
    m_clock.whileBusy([&] { m_receiver.feed(bytes, m_clock.nowMs()); });
}

void StreamReceiver::feed(const QList<QByteArray> &chunks)
{
    m_clock.whileBusy([&] { m_receiver.feed(chunks, m_clock.nowMs()); });
}

void StreamReceiver::poll()
{
    m_receiver.poll(m_clock.nowMs());
}
