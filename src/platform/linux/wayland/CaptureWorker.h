#pragma once
// The one thread a capture backend serves its calls on, in the order they came. Once stopped it
// takes no more work, and every job still queued runs told so, only to complete with an error:
// a call always completes, even when its backend is going away.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace linuxplatform {

class CaptureWorker : public std::enable_shared_from_this<CaptureWorker> {
public:
    // `live` is false for a job that runs after stop().
    using Job = std::function<void(bool live)>;

    static std::shared_ptr<CaptureWorker> start();
    ~CaptureWorker();

    void post(Job job);
    // Waits for the queue to drain, unless called from a job (then the thread drains it alone).
    void stop();

private:
    CaptureWorker() = default;
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace linuxplatform
