#include "platform/linux/wayland/CaptureWorker.h"

namespace linuxplatform {

std::shared_ptr<CaptureWorker> CaptureWorker::start() {
    std::shared_ptr<CaptureWorker> worker(new CaptureWorker);
    // The thread holds the worker, so that a worker stopped from its own job outlives the call.
    worker->thread_ = std::thread([self = worker] { self->run(); });
    return worker;
}

CaptureWorker::~CaptureWorker() {
    if (thread_.joinable()) thread_.detach();
}

void CaptureWorker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            wake_.notify_one();
            return;
        }
    }
    job(false);
}

void CaptureWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) return;
    if (thread_.joinable()) thread_.join();
}

void CaptureWorker::run() {
    for (;;) {
        Job job;
        bool live = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            live = !stopping_;
        }
        job(live);
    }
}

}  // namespace linuxplatform
