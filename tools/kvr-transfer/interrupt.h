#pragma once

#include <atomic>

// Ctrl+C sets a flag that the transfer loops look at; nothing else runs in
// the handler.
namespace Interrupt {

void install();
const std::atomic<bool> &flag();
inline bool requested()
{
    return flag().load();
}

} // namespace Interrupt
