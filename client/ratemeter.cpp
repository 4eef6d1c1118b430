#include "client/ratemeter.h"

namespace {

// Progress comes once per block; ten redraws a second are enough to read.
constexpr qint64 RedrawMs = 100;
// Blocks come every millisecond or so: this long without one is a stall.
constexpr int StallCheckMs = 500;

} // namespace

RateMeter::RateMeter(QObject *parent) : QObject(parent)
{
    connect(&m_stallTimer, &QTimer::timeout, this, [this] { checkForStall(); });
}

// The first text waits a redraw interval, so that it never shows the rate
// of the first block or two alone.
void RateMeter::start(qint64 elapsedMs, quint64 bytesSoFar)
{
    m_rate.reset();
    m_lastMs = elapsedMs;
    add(elapsedMs, bytesSoFar);
    m_drawnMs = elapsedMs;
    m_total = 0;
    m_stallTimer.start(StallCheckMs);
    emit textChanged(QString());
}

void RateMeter::progress(qint64 elapsedMs, quint64 bytesSoFar, quint64 total)
{
    m_total = total;
    add(elapsedMs, bytesSoFar);
    if (m_lastMs - m_drawnMs >= RedrawMs)
        draw();
}

void RateMeter::stop()
{
    m_stallTimer.stop();
}

// Samples never go back in time, even after the stall check has moved the
// clock on by this meter's own estimate.
void RateMeter::add(qint64 elapsedMs, quint64 bytesSoFar)
{
    m_lastMs = qMax(m_lastMs, elapsedMs);
    m_lastBytes = bytesSoFar;
    m_rate.add(m_lastMs, bytesSoFar);
    m_sinceReport.start();
}

void RateMeter::draw()
{
    m_drawnMs = m_lastMs;
    const qint64 secondsLeft = m_rate.secondsLeft(m_total - qMin(m_lastBytes, m_total));
    emit textChanged(TransferRate::rateText(m_rate.bytesPerSecond()) + tr(" 剩余 ") +
                     TransferRate::timeText(secondsLeft));
}

void RateMeter::checkForStall()
{
    const qint64 silentMs = m_sinceReport.elapsed();
    if (silentMs < StallCheckMs)
        return;
    // Nothing moved meanwhile: the same byte count, later.
    m_rate.add(m_lastMs + silentMs, m_lastBytes);
    m_lastMs += silentMs;
    m_sinceReport.start();
    draw();
}
