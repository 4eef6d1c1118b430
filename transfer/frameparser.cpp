#include "transfer/frameparser.h"

#include "transfer/protocol.h"

#include <cstring>
#include <utility>

namespace {

// The first marker at or after from; -1 without one. Contents are searched
// for the end marker byte by byte as they come: glibc's memmem does that
// about three times as fast as a general search.
qsizetype find(const QByteArray &data, const QByteArray &marker, qsizetype from)
{
#ifdef __GLIBC__
    if (from >= data.size())
        return -1;
    const void *hit = memmem(data.constData() + from, size_t(data.size() - from),
                             marker.constData(), size_t(marker.size()));
    return hit ? static_cast<const char *>(hit) - data.constData() : -1;
#else
    return data.indexOf(marker, int(from));
#endif
}

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

// What md5SectionLength() found besides a whole section's length.
constexpr qsizetype NoMd5Section = 0;
constexpr qsizetype Md5SectionPending = -1;   // more bytes could still make one
constexpr qsizetype Md5SectionUnbounded = -2; // opened, but does not end within limit

// The length of the MD5 section at data[from..] once its end marker has
// come within limit. Whatever lies between its two markers belongs to it,
// however long: a section that opened and does not close within limit is
// unbounded, never contents. `final`: no more bytes are coming.
qsizetype md5SectionLength(const QByteArray &data, qsizetype from, qsizetype limit, bool final)
{
    const QByteArray &open = Protocol::md5Marker();
    const QByteArray &close = Protocol::md5EndMarker();
    const qsizetype available = data.size() - from;
    if (std::memcmp(data.constData() + from, open.constData(),
                    qMin<qsizetype>(available, open.size())) != 0)
        return NoMd5Section;
    if (available < open.size())
        return final ? NoMd5Section : Md5SectionPending;
    const qsizetype closeAt = find(data, close, from + open.size());
    if (closeAt >= 0 && closeAt + close.size() <= limit)
        return closeAt + close.size() - from;
    if (closeAt >= 0 || final || data.size() >= limit)
        return Md5SectionUnbounded;
    return Md5SectionPending;
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
    const qsizetype start = find(data, marker, pos);
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

    const qsizetype sizeAt = find(data, sizeMarker, pos + Protocol::startMarker().size());
    const qsizetype sizeEndAt =
        sizeAt < 0 ? -1 : find(data, sizeEndMarker, sizeAt + sizeMarker.size());
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
    if (md5Length == Md5SectionPending) {
        m_pending = data.mid(pos);
        return data.size();
    }
    // The rest of an unbounded section is passed over as it comes.
    m_inMd5Field = md5Length == Md5SectionUnbounded;
    const qsizetype headerEnd =
        m_inMd5Field ? md5At + Protocol::md5Marker().size() : md5At + md5Length;
    const FrameHeader header = readHeader(data, pos, sizeAt, md5At, headerEnd);
    m_transferBytes = quint64(header.headerBytes);
    m_lengthKnown = !header.md5Hex.isEmpty() && header.sizeValid;
    m_remaining = header.size;
    m_state = m_listener->transferOpened(header) ? State::Contents : State::Discarding;
    return headerEnd;
}

// The header at data[pos..headerEnd): everything before md5At, then the MD5
// section, whole or only opened.
FrameHeader FrameParser::readHeader(const QByteArray &data, qsizetype pos, qsizetype sizeAt,
                                    qsizetype md5At, qsizetype headerEnd) const
{
    FrameHeader header;
    const qsizetype nameAt = pos + Protocol::startMarker().size();
    header.rawName = data.mid(nameAt, sizeAt - nameAt);
    const qsizetype digitsAt = sizeAt + Protocol::sizeMarker().size();
    const qsizetype digitsEnd = md5At - Protocol::sizeEndMarker().size();
    header.size = Protocol::parseSize(data.mid(digitsAt, digitsEnd - digitsAt), &header.sizeValid);
    header.hasMd5 = headerEnd > md5At;
    const qsizetype fieldAt = md5At + Protocol::md5Marker().size();
    const QByteArray field =
        data.mid(fieldAt, headerEnd - fieldAt - Protocol::md5EndMarker().size());
    if (header.hasMd5 && !m_inMd5Field && Protocol::isMd5Hex(field))
        header.md5Hex = field.toLower();
    header.headerBytes = int(headerEnd - pos);
    return header;
}

// The start marker at pos did not grow into a header within the limit: it
// and what follows up to the next start marker are raw data.
qsizetype FrameParser::giveUpHeader(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::startMarker();
    qsizetype end = find(data, marker, pos + 1);
    if (end < 0)
        end = data.size() - partialMarkerTail(data, pos + 1, marker);
    m_listener->rawData(data.mid(pos, end - pos));
    m_state = State::Idle;
    return end;
}

qsizetype FrameParser::parseBody(const QByteArray &data, qsizetype pos)
{
    if (m_inMd5Field)
        return skipMd5Field(data, pos);
    if (m_lengthKnown && m_remaining > 0)
        return parseSizedBody(data, pos);
    const QByteArray &marker = Protocol::endMarker();
    const qsizetype end = find(data, marker, pos);
    if (end >= 0) {
        deliver(data.constData() + pos, end - pos);
        return endAt(end);
    }
    const qsizetype tail = partialMarkerTail(data, pos, marker);
    deliver(data.constData() + pos, data.size() - tail - pos);
    m_pending = data.right(tail);
    return data.size();
}

// Passes over the rest of an MD5 section too long to hold, up to its end
// marker; the contents follow it.
qsizetype FrameParser::skipMd5Field(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::md5EndMarker();
    const qsizetype end = find(data, marker, pos);
    if (end >= 0) {
        m_inMd5Field = false;
        m_transferBytes += quint64(end + marker.size() - pos);
        return end + marker.size();
    }
    const qsizetype tailAt = data.size() - partialMarkerTail(data, pos, marker);
    m_transferBytes += quint64(tailAt - pos);
    m_pending = data.mid(tailAt);
    return data.size();
}

// Before the announced size is reached, an end marker ends the contents only
// where they match the digest; otherwise its bytes are contents. A marker
// cut by the chunk waits, as after the size.
qsizetype FrameParser::parseSizedBody(const QByteArray &data, qsizetype pos)
{
    const QByteArray &marker = Protocol::endMarker();
    const qsizetype found = find(data, marker, pos);
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
    m_inMd5Field = false;
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
    QByteArray held = std::exchange(m_pending, QByteArray());
    if (std::exchange(m_inMd5Field, false))
        held.clear(); // header, never contents
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
