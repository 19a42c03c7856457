// The Plug and Play manager's own thread: the work a bus reports while requests are in flight (a
// device that left its port and comes back, after a port cycle) runs there, after the reporting
// driver's request returned, as the platform's Plug and Play manager runs it from its worker
// thread. One thread per machine, started when first needed; a machine that shuts down enumerates
// nothing more.
#include "sim/system/plug_and_play.hpp"

namespace sim {

void System::reenumerate(PDEVICE_OBJECT departed, std::function<PDEVICE_OBJECT()> enumerate) {
    auto job = [this, departed, enumerate = std::move(enumerate)] {
        std::lock_guard lock(nodesMutex_);
        bool hadNode = false;
        removeNodeOf(departed, &hadNode);
        PDEVICE_OBJECT fresh = enumerate();
        if (fresh != nullptr && hadNode && driver_ != nullptr)
            plugIn(fresh);
    };
    std::lock_guard lock(pnpThread_->mutex);
    if (pnpThread_->stopping)
        return;
    if (!pnpThread_->thread.joinable())
        pnpThread_->thread = std::thread([thread = pnpThread_.get()] { thread->run(); });
    pnpThread_->work.push_back(std::move(job));
    pnpThread_->changed.notify_all();
}

bool System::waitForPlugAndPlay(std::chrono::milliseconds timeout) {
    std::unique_lock lock(pnpThread_->mutex);
    return pnpThread_->changed.wait_for(
        lock, timeout, [&] { return pnpThread_->work.empty() && !pnpThread_->busy; });
}

bool System::onPlugAndPlayThread() const {
    std::lock_guard lock(pnpThread_->mutex);
    return pnpThread_->thread.get_id() == std::this_thread::get_id();
}

// Lets the thread finish what it was given, then ends it.
void System::stopPlugAndPlay() {
    {
        std::lock_guard lock(pnpThread_->mutex);
        pnpThread_->stopping = true;
    }
    pnpThread_->changed.notify_all();
    if (pnpThread_->thread.joinable())
        pnpThread_->thread.join();
}

}  // namespace sim
