#pragma once
// The HTTP client: one background thread driving a curl multi handle. Every completion runs
// on that thread, one at a time.
#include <atomic>
#include <deque>
#include <vector>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Http.h"

namespace linuxplatform {

class CurlHttp final : public platform::Http {
public:
    CurlHttp();
    // Stops the thread; requests still queued or in flight complete with an error first.
    ~CurlHttp() override;
    CurlHttp(const CurlHttp&) = delete;
    CurlHttp& operator=(const CurlHttp&) = delete;

    void send(platform::HttpRequest request, platform::HttpCompletion completion) override;
    bool isCallbackQueue() const override;

private:
    struct Queued {
        platform::HttpRequest request;
        platform::HttpCompletion completion;
    };
    struct Transfer;

    void loop();
    void start(Queued queued);
    void finish(Transfer* transfer, int curlCode);
    void abandonAll();
    static void complete(platform::HttpCompletion& completion, platform::HttpResponse response);

    void* multi_ = nullptr;  // CURLM*, kept out of this header
    std::mutex mutex_;
    std::deque<Queued> queue_;
    bool stopping_ = false;
    std::atomic<std::thread::id> loopThread_{};
    // Owned by the loop thread alone.
    std::vector<std::unique_ptr<Transfer>> active_;
    std::thread thread_;
};

}  // namespace linuxplatform
