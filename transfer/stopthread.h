#pragma once

// Ends one of the tool's threads the one way they are ended, wherever that
// happens: asks its own loop to stop (stop(): a send stops at its next
// block, the receive loop wakes), ends its event loop, and waits for it.
template <typename Thread> void stopThread(Thread *thread)
{
    thread->stop();
    thread->quit();
    thread->wait();
}

// Stops a thread, then deletes it: for the pointers that own one.
struct ThreadDeleter
{
    template <typename Thread> void operator()(Thread *thread) const
    {
        if (!thread)
            return;
        stopThread(thread);
        delete thread;
    }
};
