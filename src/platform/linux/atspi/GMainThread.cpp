#include "platform/linux/atspi/GMainThread.h"

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

namespace linuxplatform {

GMainThread::GMainThread(std::function<void()> setup)
    : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
    std::promise<std::thread::id> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, setup = std::move(setup), &started] {
        g_main_context_push_thread_default(context_);
        started.set_value(std::this_thread::get_id());
        if (setup) setup();
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    id_ = ready.get();
}

GMainThread::~GMainThread() {
    post([this] { g_main_loop_quit(loop_); });
    if (thread_.joinable()) thread_.join();
    g_main_loop_unref(loop_);
    // Destroys the sources still attached; the tasks they stood for go with the queue.
    g_main_context_unref(context_);
}

gboolean GMainThread::runNext(gpointer self) {
    auto* thread = static_cast<GMainThread*>(self);
    std::function<void()> task;
    {
        std::lock_guard lock(thread->mutex_);
        if (thread->tasks_.empty()) return G_SOURCE_REMOVE;
        task = std::move(thread->tasks_.front());
        thread->tasks_.pop_front();
    }
    task();
    return G_SOURCE_REMOVE;
}

// One source per task, at one priority: they run in the order of the calls.
void GMainThread::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runNext, this, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
}

bool GMainThread::call(std::function<void()> task, std::chrono::milliseconds timeout) {
    if (isCurrent()) {
        task();
        return true;
    }
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    post([task = std::move(task), done] {
        task();
        std::lock_guard lock(done->mutex);
        done->done = true;
        done->cv.notify_all();
    });
    std::unique_lock lock(done->mutex);
    return done->cv.wait_for(lock, timeout, [&] { return done->done; });
}

}  // namespace linuxplatform
