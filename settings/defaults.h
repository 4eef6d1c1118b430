#pragma once

// The values settings.ini starts from when a key is missing, in one place:
// the window, the command line and the stand-in take them from here.
namespace Defaults {

// Bytes per block sent and per chunk queued for the receive engine, within
// Limits::MinBufferSize and Limits::MaxBufferSize.
constexpr int BufferSize = 12000;

// Where an installed window first connects: a private address of the
// controllers' usual network, never reached by the tests.
constexpr char ControllerAddress[] = "192.168.1.10";

} // namespace Defaults
