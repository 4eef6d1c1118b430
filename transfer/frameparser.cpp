#include "transfer/frameparser.h"

#include "transfer/protocol.h"

#include <cstring>
#include <utility>

namespace {

// Length of the longest end of data[from..] that could be the beginning of
// marker: those bytes must wait for the next chunk before they are judged.
qsizetype partialMarkerTail(const QByteArray &data, qsizetype from, const QByteArray &marker)
{
    const qsizetype available = data.size() - from;
    for (qsizetype len = qMin<qsizetype>(available, marker.size() - 1); len > 0; --len) {
        if (std::memcmp(data.constData() + data.size() - len, marker.constData(), len) == 0)
            return len;
    }
    return 0;
}

// The length of the MD5 section at data[from..] once its end marker has
// come within limit; 0 when there is none, or when it cannot end within
// limit; -1 while more bytes could still make one. Whatever lies between
// its two markers belongs to it. `final`: no more bytes are coming.
qsizetype md5SectionLength(const QByteArray &data, qsizetype from, qsizetype limit, bool final)
{
    const QByteArray &open = Protocol::md5Marker();
    const QByteArray &close = Protocol::md5EndMarker();
    const qsizetype available = data.size() - from;
    if (std::memcmp(data.constData() + from, open.constData(),
                    qMin<qsizetype>(available, open.size())) != 0)
        return 0;
    const qsizetype closeAt =
        available < open.size() ? -1 : data.indexOf(close, from + open.size());
    if (closeAt >= 0 && closeAt + close.size() <= limit)
        return closeAt + close.size() - from;
    if (closeAt >= 0 || final || data.size() >= limit)
        return 0;
    return -1;
}

} // namespace

FrameParser::FrameParser(Listener *listener) : m_listener(listener) {}

void FrameParser::feed(const QByteArray &chunk, qint64 nowMs)
{
    if (chunk.isEmpty())
        return;
    m_lastDataMs = nowMs;
    parse(m_pending.isEmpty() ? chunk : std::exchange(m_pending, QByteArray()) + chunk);
}

void FrameParser::parse(const QByteArray &data)
{
    qsizetype pos = 0;
    while (pos < data.size()) {
        switch (m_state) {
        case State::Idle:
            pos = parseIdle(data, pos);
            break;
        case State::Header:
            pos = parseHeader(data, pos);
            break;
        case State::Contents:
        case State::Discarding:
            pos = parseBody(data, pos);
            break;
        }
    }
}

qsizetype FrameParser::parseIdle(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::startMarker();
    const qsizetype start = data.indexOf(marker, pos);
    if (start < 0) {
        const qsizetype tail = partialMarkerTail(data, pos, marker);
        const qsizetype rawEnd = data.size() - tail;
        if (rawEnd > pos)
            m_listener->rawData(data.mid(pos, rawEnd - pos));
        m_pending = data.right(tail);
        return data.size();
    }
    if (start > pos)
        m_listener->rawData(data.mid(pos, start - pos));
    m_state = State::Header;
    return start;
}

// data[pos..] begins with the start marker.
qsizetype FrameParser::parseHeader(const QByteArray &data, qsizetype pos)
{
    const QByteArray &sizeMarker = Protocol::sizeMarker();
    const QByteArray &sizeEndMarker = Protocol::sizeEndMarker();
    const qsizetype limit = pos + MaxHeaderBytes;

    const qsizetype sizeAt = data.indexOf(sizeMarker, pos + Protocol::startMarker().size());
    const qsizetype sizeEndAt =
        sizeAt < 0 ? -1 : data.indexOf(sizeEndMarker, sizeAt + sizeMarker.size());
    const qsizetype md5At = sizeEndAt < 0 ? -1 : sizeEndAt + sizeEndMarker.size();
    if (md5At < 0 || md5At > limit) {
        if (data.size() >= limit || m_stalled)
            return giveUpHeader(data, pos);
        m_pending = data.mid(pos);
        return data.size();
    }
    // Once the sender has stalled, an MD5 section that has not arrived whole
    // is not coming: the bytes are contents.
    const qsizetype md5Length = md5SectionLength(data, md5At, limit, m_stalled);
    if (md5Length < 0) {
        m_pending = data.mid(pos);
        return data.size();
    }
    const FrameHeader header = readHeader(data, pos, sizeAt, md5At, md5Length);
    m_transferBytes = quint64(header.headerBytes);
    m_lengthKnown = !header.md5Hex.isEmpty() && header.sizeValid;
    m_remaining = header.size;
    m_state = m_listener->transferOpened(header) ? State::Contents : State::Discarding;
    return md5At + md5Length;
}

FrameHeader FrameParser::readHeader(const QByteArray &data, qsizetype pos, qsizetype sizeAt,
                                    qsizetype md5At, qsizetype md5Length)
{
    FrameHeader header;
    const qsizetype nameAt = pos + Protocol::startMarker().size();
    header.rawName = data.mid(nameAt, sizeAt - nameAt);
    const qsizetype digitsAt = sizeAt + Protocol::sizeMarker().size();
    const qsizetype digitsEnd = md5At - Protocol::sizeEndMarker().size();
    header.size = Protocol::parseSize(data.mid(digitsAt, digitsEnd - digitsAt), &header.sizeValid);
    header.hasMd5 = md5Length > 0;
    const qsizetype fieldAt = md5At + Protocol::md5Marker().size();
    const QByteArray field = data.mid(fieldAt, md5Length - Protocol::md5Marker().size() -
                                                   Protocol::md5EndMarker().size());
    if (header.hasMd5 && Protocol::isMd5Hex(field))
        header.md5Hex = field.toLower();
    header.headerBytes = int(md5At + md5Length - pos);
    return header;
}

// The start marker at pos did not grow into a header within the limit: it
// and what follows up to the next start marker are raw data.
qsizetype FrameParser::giveUpHeader(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::startMarker();
    qsizetype end = data.indexOf(marker, pos + 1);
    if (end < 0)
        end = data.size() - partialMarkerTail(data, pos + 1, marker);
    m_listener->rawData(data.mid(pos, end - pos));
    m_state = State::Idle;
    return end;
}

qsizetype FrameParser::parseBody(const QByteArray &data, qsizetype pos)
{
    if (m_lengthKnown && m_remaining > 0)
        return parseSizedBody(data, pos);
    const QByteArray &marker = Protocol::endMarker();
    const qsizetype end = data.indexOf(marker, pos);
    if (end >= 0) {
        deliver(data.constData() + pos, end - pos);
        return endAt(end);
    }
    const qsizetype tail = partialMarkerTail(data, pos, marker);
    deliver(data.constData() + pos, data.size() - tail - pos);
    m_pending = data.right(tail);
    return data.size();
}

// Before the announced size is reached, an end marker ends the contents only
// where they match the digest; otherwise its bytes are contents. A marker
// cut by the chunk waits, as after the size.
qsizetype FrameParser::parseSizedBody(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::endMarker();
    const qsizetype found = data.indexOf(marker, pos);
    if (found >= 0 && quint64(found - pos) < m_remaining) {
        takeContents(data, pos, found);
        if (m_state == State::Contents && m_listener->digestMatches())
            return endAt(found);
        takeContents(data, found, found + 1);
        return found + 1;
    }
    const qsizetype tailAt = data.size() - partialMarkerTail(data, pos, marker);
    if (found < 0 && tailAt < data.size() && quint64(tailAt - pos) < m_remaining) {
        takeContents(data, pos, tailAt);
        m_pending = data.mid(tailAt);
        return data.size();
    }
    const qsizetype sizeEnd =
        pos + qsizetype(qMin<quint64>(m_remaining, quint64(data.size() - pos)));
    takeContents(data, pos, sizeEnd);
    return sizeEnd;
}

void FrameParser::takeContents(const QByteArray &data, qsizetype from, qsizetype to)
{
    m_remaining -= quint64(to - from);
    deliver(data.constData() + from, to - from);
}

// The end marker at data[end] ends the transfer.
qsizetype FrameParser::endAt(qsizetype end)
{
    m_transferBytes += quint64(Protocol::endMarker().size());
    endTransfer();
    return end + Protocol::endMarker().size();
}

bool FrameParser::deliver(const char *data, qsizetype size)
{
    m_transferBytes += quint64(size);
    if (m_state != State::Contents || size == 0)
        return true;
    if (m_listener->contents(data, size))
        return true;
    m_state = State::Discarding;
    return false;
}

void FrameParser::endTransfer()
{
    const bool wasOpen = m_state == State::Contents;
    m_state = State::Idle;
    if (wasOpen)
        m_listener->transferEnded();
}

void FrameParser::poll(qint64 nowMs)
{
    if (idle() || nowMs - m_lastDataMs <= TimeoutMs)
        return;
    endWaiting();
}

void FrameParser::endOfStream()
{
    if (!idle())
        endWaiting();
}

void FrameParser::endWaiting()
{
    if (m_state == State::Header) {
        // No more data will complete it: decide with what is here.
        m_stalled = true;
        parse(std::exchange(m_pending, QByteArray()));
        m_stalled = false;
    }
    const QByteArray held = std::exchange(m_pending, QByteArray());
    // A partial end marker that never completed was contents after all.
    if (m_state == State::Contents && deliver(held.constData(), held.size())) {
        m_state = State::Idle;
        m_listener->transferTimedOut();
        return;
    }
    if ((m_state == State::Idle || m_state == State::Header) && !held.isEmpty())
        m_listener->rawData(held);
    m_state = State::Idle;
}

qint64 FrameParser::msUntilTimeout(qint64 nowMs) const
{
    if (idle())
        return -1;
    return qMax<qint64>(0, m_lastDataMs + TimeoutMs + 1 - nowMs);
}
