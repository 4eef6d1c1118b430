#include "transfer/streamreceiver.h"

StreamReceiver::StreamReceiver(FileReceiver::DirectoryProvider directory, OnEvent onEvent,
                               ReceiveDisk disk)
    : m_onEvent(std::move(onEvent)),
      m_receiver(
          std::move(directory),
          [this](int code, const FileReceiver &receiver) { announce(code, receiver); },
          std::move(disk))
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

void StreamReceiver::endOfStream(ReceptionCut cut)
{
    m_cut = cut;
    m_receiver.endOfStream();
    m_cut = ReceptionCut::Stall;
}

void StreamReceiver::poll()
{
    m_receiver.poll(m_clock.nowMs());
}

// The duration runs from RecStarted, which every file announces first, even
// one whose start and end came in one chunk. Raw data comes between
// receptions and leaves the clock alone.
void StreamReceiver::announce(int code, const FileReceiver &receiver)
{
    qint64 elapsedMs = 0;
    if (code == RecStarted)
        m_receptionClock.start();
    else if (code != RecRawData && m_receptionClock.isValid())
        elapsedMs = m_receptionClock.elapsed();
    if (code != RecStarted && code != RecProgress && code != RecRawData)
        m_receptionClock.invalidate();
    if (!m_onEvent)
        return;
    ReceiveEvent event = ReceiveEvent::of(code, receiver, elapsedMs);
    if (code == RecTimeout)
        event.cut = m_cut;
    m_onEvent(event);
}
