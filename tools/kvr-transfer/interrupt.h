#pragma once

#include <atomic>

// Ctrl+C (and Ctrl+Break on Windows) sets a flag that the transfer loops
// look at; nothing else runs in the handler.
namespace Interrupt {

void install();
// SIGTERM too, as a service manager stops a program (no-op on Windows,
// whose services stop through request()).
void alsoOnTerminate();
// A stop asked for from within, such as by a service's control handler.
void request();
const std::atomic<bool> &flag();
inline bool requested()
{
    return flag().load();
}

} // namespace Interrupt
