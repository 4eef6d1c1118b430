#pragma once

#include "transfer/filereceiver.h"
#include "transfer/stallclock.h"
#include "transfer/transferevents.h"

#include <QElapsedTimer>

#include <functional>

// A FileReceiver fed from one stream, with the clock of its stall rule:
// time spent handling the bytes (a slow disk) and time in which the tool
// itself holds reading back never count as a stall of the controller.
// Every code comes out as a ReceiveEvent with the reception's duration.
// The receive engine's thread, the command line and the stand-in each
// drive one; no thread or socket of its own.
class StreamReceiver
{
public:
    // Called synchronously for every code, after the statistics are updated.
    using OnEvent = std::function<void(const ReceiveEvent &event)>;

    StreamReceiver(FileReceiver::DirectoryProvider directory, OnEvent onEvent,
                   ReceiveDisk disk = {});

    void feed(const QByteArray &bytes);
    // The chunks of one batch, handled together.
    void feed(const QList<QByteArray> &chunks);
    // Ends a transfer that has stalled.
    void poll();
    // No more bytes will come: an open transfer ends now, cut as said.
    void endOfStream(ReceptionCut cut = ReceptionCut::StreamEnded);
    void setExistingFiles(ExistingFiles rule) { m_receiver.setExistingFiles(rule); }
    // While held, the stall clock stands still.
    void setHeld(bool held) { m_clock.setHeld(held); }
    // Milliseconds until poll() would act; -1 when nothing waits.
    qint64 msUntilTimeout() const { return m_receiver.msUntilTimeout(m_clock.nowMs()); }

    bool receiving() const { return m_receiver.receiving(); }
    const FileReceiver &receiver() const { return m_receiver; }

private:
    void announce(int code, const FileReceiver &receiver);

    StallClock m_clock;
    // From RecStarted to the reception's end.
    QElapsedTimer m_receptionClock;
    // What cuts a reception that ends without its end marker now.
    ReceptionCut m_cut = ReceptionCut::Stall;
    OnEvent m_onEvent;
    FileReceiver m_receiver;
};
