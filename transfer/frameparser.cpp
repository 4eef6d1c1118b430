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

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// How far data[from..] agrees with an MD5 section: the number of bytes that
// match, or -1 as soon as one byte does not.
qsizetype matchMd5Section(const QByteArray &data, qsizetype from)
{
    const QByteArray &open = Protocol::md5Marker();
    const QByteArray &close = Protocol::md5EndMarker();
    const qsizetype length = qMin<qsizetype>(data.size() - from, Protocol::Md5SectionLength);
    for (qsizetype j = 0; j < length; ++j) {
        const char c = data.at(from + j);
        bool ok;
        if (j < open.size())
            ok = c == open.at(j);
        else if (j < open.size() + Protocol::Md5HexLength)
            ok = isHexDigit(c);
        else
            ok = c == close.at(j - open.size() - Protocol::Md5HexLength);
        if (!ok)
            return -1;
    }
    return length;
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
    const qsizetype md5Match = md5At < 0 ? -1 : matchMd5Section(data, md5At);
    const bool hasMd5 = md5Match == Protocol::Md5SectionLength;
    // Once the sender has stalled, an MD5 section that has not arrived whole
    // is not coming: the bytes are contents.
    const bool complete = md5At >= 0 && (md5Match < 0 || hasMd5 || m_stalled);

    if (!complete || md5At > limit) {
        if (data.size() >= limit || m_stalled)
            return giveUpHeader(data, pos);
        m_pending = data.mid(pos);
        return data.size();
    }
    // A section that matched as far as the data went was waited for above:
    // here it either matched whole or not at all.
    const qsizetype contentStart = hasMd5 ? md5At + Protocol::Md5SectionLength : md5At;

    FrameHeader header;
    const qsizetype nameAt = pos + Protocol::startMarker().size();
    header.rawName = data.mid(nameAt, sizeAt - nameAt);
    const qsizetype digitsAt = sizeAt + sizeMarker.size();
    header.size = Protocol::parseSize(data.mid(digitsAt, sizeEndAt - digitsAt), &header.sizeValid);
    header.hasMd5 = hasMd5;
    if (hasMd5)
        header.md5Hex =
            data.mid(md5At + Protocol::md5Marker().size(), Protocol::Md5HexLength).toLower();
    header.headerBytes = int(contentStart - pos);

    m_transferBytes = quint64(header.headerBytes);
    m_lengthKnown = header.hasMd5 && header.sizeValid;
    m_remaining = header.size;
    m_state = m_listener->transferOpened(header) ? State::Contents : State::Discarding;
    return contentStart;
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
    if (m_lengthKnown && m_remaining > 0) {
        const qsizetype take = qsizetype(qMin<quint64>(m_remaining, quint64(data.size() - pos)));
        m_remaining -= quint64(take);
        deliver(data.constData() + pos, take);
        return pos + take;
    }
    const QByteArray &marker = Protocol::endMarker();
    const qsizetype end = data.indexOf(marker, pos);
    if (end >= 0) {
        deliver(data.constData() + pos, end - pos);
        m_transferBytes += quint64(marker.size());
        endTransfer();
        return end + marker.size();
    }
    const qsizetype tail = partialMarkerTail(data, pos, marker);
    deliver(data.constData() + pos, data.size() - tail - pos);
    m_pending = data.right(tail);
    return data.size();
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
