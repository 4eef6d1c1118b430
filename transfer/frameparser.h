#pragma once

#include "transfer/limits.h"

#include <QByteArray>
#include <QtGlobal>

// One announced transfer, as read from its header.
struct FrameHeader
{
    QByteArray rawName; // name bytes exactly as they arrived
    quint64 size = 0;   // announced size, 0 when the field is not a number
    bool sizeValid = false;
    bool hasMd5 = false; // the header carried the MD5 section
    QByteArray md5Hex;   // announced digest, lower case; empty unless 32 hex digits
    int headerBytes = 0; // wire bytes of the header
};

// Splits an incoming byte stream into raw data and framed file transfers.
//
// The parser is fed chunks of any size, as they come off the connection, and
// produces the same events whatever the chunking: between chunks it keeps
// only an incomplete header (at most MaxHeaderBytes) or the few bytes that
// may begin a marker. It knows no thread, socket or file; time is passed in
// so that the 1000 ms stall rule can be tested exactly.
//
// Contents end at the first end marker, except when the header carried a
// valid digest and a valid size N: then an end marker within the first N
// content bytes ends the contents only where the listener says that the
// contents so far match the digest, so a file that holds the end marker's
// bytes still arrives whole, and one whose size was over-announced ends.
// The MD5 section is header whatever it holds and however long it is; a
// field that is not 32 hex digits leaves md5Hex empty.
class FrameParser
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void rawData(const QByteArray &bytes) = 0;
        // Return false to discard the rest of this transfer quietly.
        virtual bool transferOpened(const FrameHeader &header) = 0;
        // Return false to discard the rest of this transfer quietly.
        virtual bool contents(const char *data, qsizetype size) = 0;
        // Whether the contents delivered so far match the announced digest.
        virtual bool digestMatches() = 0;
        virtual void transferEnded() = 0;
        virtual void transferTimedOut() = 0;
    };

    static constexpr qint64 TimeoutMs = Limits::StallMs;
    static constexpr int MaxHeaderBytes = 64 * 1024;

    explicit FrameParser(Listener *listener);

    void feed(const QByteArray &chunk, qint64 nowMs);
    // Ends whatever waits for more data once more than TimeoutMs have passed
    // since the last non-empty chunk.
    void poll(qint64 nowMs);
    // The connection closed: no more data will come, so whatever waits for
    // more ends now, as after a stall.
    void endOfStream();
    // Milliseconds until poll() would act, or -1 when nothing waits.
    qint64 msUntilTimeout(qint64 nowMs) const;

    bool transferOpen() const { return m_state == State::Contents; }
    // The listener failed the open transfer outside a call from the parser:
    // its remaining contents are passed over quietly.
    void discardTransfer()
    {
        if (m_state == State::Contents)
            m_state = State::Discarding;
    }
    bool idle() const { return m_state == State::Idle && m_pending.isEmpty(); }
    // Wire bytes of the current (or last) transfer taken so far.
    quint64 transferBytes() const { return m_transferBytes; }

private:
    enum class State { Idle, Header, Contents, Discarding };

    void parse(const QByteArray &data);
    qsizetype parseIdle(const QByteArray &data, qsizetype pos);
    qsizetype parseHeader(const QByteArray &data, qsizetype pos);
    qsizetype parseBody(const QByteArray &data, qsizetype pos);
    qsizetype parseSizedBody(const QByteArray &data, qsizetype pos);
    void takeContents(const QByteArray &data, qsizetype from, qsizetype to);
    qsizetype endAt(qsizetype end);
    FrameHeader readHeader(const QByteArray &data, qsizetype pos, qsizetype sizeAt, qsizetype md5At,
                           qsizetype headerEnd) const;
    qsizetype skipMd5Field(const QByteArray &data, qsizetype pos);
    qsizetype giveUpHeader(const QByteArray &data, qsizetype pos);
    void endWaiting();
    bool deliver(const char *data, qsizetype size);
    void endTransfer();

    Listener *m_listener;
    State m_state = State::Idle;
    QByteArray m_pending; // unparsed bytes carried to the next chunk
    qint64 m_lastDataMs = 0;
    quint64 m_transferBytes = 0;
    bool m_lengthKnown = false; // contents delimited by the announced size
    quint64 m_remaining = 0;    // content bytes still to come before the size is reached
    bool m_stalled = false;     // poll() is deciding what a stall leaves
    bool m_inMd5Field = false;  // passing over an MD5 section too long to hold
};
