#pragma once

#include <QtGlobal>

// The values every program starts from, in one place: the window, the
// command line, the stand-in and the engine take them from here.
namespace Defaults {

// The controller listens here; the PC is always the client.
constexpr quint16 ControllerPort = 8080;

// Bytes per block sent and per chunk queued for the receive engine.
constexpr int BufferSize = 12000;
constexpr int MinBufferSize = 1;
constexpr int MaxBufferSize = 65536;

// What a receiver reads from its socket at most at a time, more than a
// buffer size: the chunks are cut from it, and each read costs a wake-up.
constexpr qint64 ReadBytes = 256 * 1024;

// A transfer that has had no data for longer than this has stalled.
constexpr qint64 StallMs = 1000;

// Where an installed window first connects: a private address of the
// controllers' usual network, never reached by the tests.
constexpr char ControllerAddress[] = "192.168.1.10";

} // namespace Defaults
