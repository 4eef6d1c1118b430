#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// How fast a send puts its blocks on the wire: one block per millisecond at
// most (the default, which some controllers may rely on), as fast as TCP
// takes them, or spread to a rate in MB/s (10^6 bytes).
struct SendPace
{
    enum class Mode { Paced, Full, Cap };

    // Above any link a controller has; a cap beyond it is no cap.
    static constexpr double MaxCapMBps = 100000;

    Mode mode = Mode::Paced;
    double capMBps = 0; // for Cap only, above 0 and at most MaxCapMBps

    static SendPace full() { return {Mode::Full, 0}; }
    static SendPace cap(double megabytesPerSecond) { return {Mode::Cap, megabytesPerSecond}; }

    // What parse() takes, for an error message.
    static constexpr char Accepted[] = "paced, full or a number of MB/s above 0";
    // "paced", "full" or a number of MB/s; anything else is none.
    static std::optional<SendPace> parse(const QString &text);
    // As parse() reads it back.
    QString toString() const;
    qint64 capBytesPerSecond() const { return qint64(capMBps * 1e6); }

    bool operator==(const SendPace &other) const
    {
        return mode == other.mode && (mode != Mode::Cap || capMBps == other.capMBps);
    }
    bool operator!=(const SendPace &other) const { return !(*this == other); }
};

// The pause between the files of a queue, in ms.
namespace FileGap {
constexpr int MaxMs = 60 * 60 * 1000;
// A whole number from 0 to MaxMs; anything else is none.
std::optional<int> parse(const QString &text);
} // namespace FileGap
