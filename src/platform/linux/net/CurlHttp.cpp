#include "platform/linux/net/CurlHttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <mutex>

namespace linuxplatform {
namespace {

CURLM* multiOf(void* p) { return static_cast<CURLM*>(p); }

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool sameName(const std::string& a, const char* b) {
    const std::string other(b);
    return a.size() == other.size() && std::equal(a.begin(), a.end(), other.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A header that would split into two, or a name curl would misread, is never sent.
bool validHeader(const std::string& name, const std::string& value) {
    if (name.empty() || name.find_first_of(std::string(":\r\n\0 \t", 6)) != std::string::npos) return false;
    return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

long timeoutMillis(double seconds) {
    if (!(seconds > 0)) return 1;  // zero would mean "no limit" to curl
    constexpr double kMax = 24.0 * 3600.0 * 1000.0;
    const double ms = std::ceil(seconds * 1000.0);
    return static_cast<long>(std::min(ms, kMax));
}

}  // namespace

struct CurlHttp::Transfer {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string requestBody;
    std::string reply;
    bool oversized = false;
    platform::HttpCompletion completion;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }

    static size_t onData(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        const size_t n = size * count;
        if (self->reply.size() + n > platform::kMaxReplyBytes) {
            self->oversized = true;
            return 0;  // aborts the transfer
        }
        self->reply.append(data, n);
        return n;
    }
};

CurlHttp::CurlHttp() {
    globalInit();
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { loop(); });
}

CurlHttp::~CurlHttp() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (multi_) curl_multi_wakeup(multiOf(multi_));
    if (thread_.joinable()) thread_.join();
    if (multi_) curl_multi_cleanup(multiOf(multi_));
}

void CurlHttp::send(platform::HttpRequest request, platform::HttpCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({std::move(request), std::move(completion)});
    }
    if (multi_) curl_multi_wakeup(multiOf(multi_));
}

bool CurlHttp::isCallbackQueue() const { return std::this_thread::get_id() == loopThread_.load(); }

void CurlHttp::complete(platform::HttpCompletion& completion, platform::HttpResponse response) {
    if (!completion) return;
    auto once = std::move(completion);
    completion = nullptr;
    // A throwing completion must not take the client's thread down with it.
    try {
        once(std::move(response));
    } catch (...) {
    }
}

void CurlHttp::loop() {
    loopThread_.store(std::this_thread::get_id());
    if (!multi_) {
        // Without a multi handle nothing can be sent; fail everything until stopped.
        while (true) {
            std::deque<Queued> incoming;
            bool stop;
            {
                std::lock_guard lock(mutex_);
                incoming.swap(queue_);
                stop = stopping_;
            }
            for (auto& q : incoming) complete(q.completion, {0, std::nullopt, "HTTP client unavailable"});
            if (stop) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    CURLM* multi = multiOf(multi_);
    while (true) {
        std::deque<Queued> incoming;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            incoming.swap(queue_);
        }
        for (auto& q : incoming) start(std::move(q));

        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
            const int code = msg->data.result;
            if (transfer) finish(transfer, code);
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    abandonAll();
}

void CurlHttp::start(Queued queued) {
    auto& request = queued.request;
    auto fail = [&](const char* why) { complete(queued.completion, {0, std::nullopt, why}); };

    const bool post = request.method == "POST";
    if (!post && request.method != "GET") return fail("unsupported HTTP method");

    auto t = std::make_unique<Transfer>();
    t->completion = std::move(queued.completion);
    t->easy = curl_easy_init();
    if (!t->easy) return complete(t->completion, {0, std::nullopt, "cannot create an HTTP transfer"});

    bool hasAccept = false, hasExpect = false, hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        if (!validHeader(name, value))
            return complete(t->completion, {0, std::nullopt, "invalid HTTP header"});
        hasAccept = hasAccept || sameName(name, "Accept");
        hasExpect = hasExpect || sameName(name, "Expect");
        hasContentType = hasContentType || sameName(name, "Content-Type");
        // "Name;" is curl's way of sending a header with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        t->headers = curl_slist_append(t->headers, line.c_str());
    }
    // Only the given headers go out: drop the ones curl would add by itself.
    if (!hasAccept) t->headers = curl_slist_append(t->headers, "Accept:");
    if (!hasExpect) t->headers = curl_slist_append(t->headers, "Expect:");
    if (post && !hasContentType) t->headers = curl_slist_append(t->headers, "Content-Type:");

    CURL* e = t->easy;
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMillis(request.timeoutSeconds));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
    // A declared length over the limit stops the transfer before the body is read.
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(platform::kMaxReplyBytes));
    if (post) {
        t->requestBody = std::move(request.body);
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->requestBody.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->requestBody.data());
    } else {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    }

    const CURLMcode added = curl_multi_add_handle(multiOf(multi_), e);
    if (added != CURLM_OK) return complete(t->completion, {0, std::nullopt, curl_multi_strerror(added)});
    active_.push_back(std::move(t));
}

void CurlHttp::finish(Transfer* transfer, int curlCode) {
    auto it = std::find_if(active_.begin(), active_.end(), [&](const auto& p) { return p.get() == transfer; });
    if (it == active_.end()) return;
    std::unique_ptr<Transfer> owned = std::move(*it);
    active_.erase(it);
    curl_multi_remove_handle(multiOf(multi_), owned->easy);

    long status = 0;
    curl_easy_getinfo(owned->easy, CURLINFO_RESPONSE_CODE, &status);
    const auto code = static_cast<CURLcode>(curlCode);
    platform::HttpResponse response;
    if (owned->oversized || code == CURLE_FILESIZE_EXCEEDED) {
        response.status = status;
        response.error = "reply body larger than " + std::to_string(platform::kMaxReplyBytes) + " bytes";
    } else if (code != CURLE_OK) {
        response.error = curl_easy_strerror(code);
    } else {
        response.status = status;
        response.body = std::move(owned->reply);
    }
    complete(owned->completion, std::move(response));
}

void CurlHttp::abandonAll() {
    CURLM* multi = multiOf(multi_);
    // Completions may send again while we shut down; those fail too, until nothing is left.
    while (true) {
        std::vector<std::unique_ptr<Transfer>> transfers;
        transfers.swap(active_);
        std::deque<Queued> incoming;
        {
            std::lock_guard lock(mutex_);
            incoming.swap(queue_);
        }
        if (transfers.empty() && incoming.empty()) return;
        for (auto& t : transfers) {
            curl_multi_remove_handle(multi, t->easy);
            complete(t->completion, {0, std::nullopt, "request cancelled: HTTP client stopped"});
        }
        for (auto& q : incoming) complete(q.completion, {0, std::nullopt, "request cancelled: HTTP client stopped"});
    }
}

}  // namespace linuxplatform
