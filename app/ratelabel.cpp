#include "app/ratelabel.h"

namespace {

// Progress comes once per block; ten redraws a second are enough to read.
constexpr qint64 RedrawMs = 100;

} // namespace

RateLabel::RateLabel(const QString &name, QWidget *parent) : QLabel(parent)
{
    setObjectName(name);
}

// The first text waits a redraw interval, so that it never shows the rate
// of the first block or two alone.
void RateLabel::start(qint64 elapsedMs, quint64 bytesSoFar)
{
    m_rate.reset();
    m_rate.add(elapsedMs, bytesSoFar);
    m_drawnMs = elapsedMs;
    clear();
    show();
}

void RateLabel::progress(qint64 elapsedMs, quint64 bytesSoFar, quint64 total)
{
    m_rate.add(elapsedMs, bytesSoFar);
    if (elapsedMs - m_drawnMs < RedrawMs)
        return;
    m_drawnMs = elapsedMs;
    const qint64 secondsLeft = m_rate.secondsLeft(total - qMin(bytesSoFar, total));
    setText(TransferRate::rateText(m_rate.bytesPerSecond()) + QString::fromUtf8(" 剩余 ") +
            TransferRate::timeText(secondsLeft));
    // Only ever wider: a status bar that shifts with every digit is hard to read.
    setMinimumWidth(qMax(minimumWidth(), sizeHint().width()));
}
