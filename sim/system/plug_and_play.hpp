// The Plug and Play manager's own thread of a System (plug_and_play.cpp): its queue of work and
// the thread that runs it.
#pragma once

#include "sim/system/system.hpp"

#include <condition_variable>
#include <deque>
#include <thread>

namespace sim {

struct System::PlugAndPlayThread {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> work;
    bool busy = false;
    bool stopping = false;
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopping || !work.empty(); });
            if (work.empty())
                return;  // stopping, and nothing left
            std::function<void()> job = std::move(work.front());
            work.pop_front();
            busy = true;
            lock.unlock();
            job();
            lock.lock();
            busy = false;
            changed.notify_all();
        }
    }
};

}  // namespace sim
