#pragma once

#include <QtGlobal>

// What the engine holds to whatever the settings say.
namespace Limits {

// Bytes per block sent and per chunk queued for the receive engine.
constexpr int MinBufferSize = 1;
constexpr int MaxBufferSize = 65536;

// What a receiver reads from its socket at most at a time, more than a
// buffer size: the chunks are cut from it, and each read costs a wake-up.
constexpr qint64 SocketReadBytes = 256 * 1024;

// A transfer that has had no data for longer than this has stalled.
constexpr qint64 StallMs = 1000;

} // namespace Limits
