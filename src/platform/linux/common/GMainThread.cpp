#include "platform/linux/common/GMainThread.h"

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

namespace linuxplatform {

namespace {
gboolean runTask(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}
void dropTask(gpointer data) { delete static_cast<std::function<void()>*>(data); }
}  // namespace

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
    // Destroys the sources still attached, and with them their tasks.
    g_main_context_unref(context_);
}

void GMainThread::post(std::function<void()> task) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runTask, new std::function<void()>(std::move(task)), dropTask);
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
