#pragma once
// A thread that runs its own GLib main context, for libraries that must only ever be used
// from one thread (libatspi). Work reaches it as posted tasks or as calls with a time limit.
#include <glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace linuxplatform {

class GMainThread {
public:
    // `setup` runs first on the new thread, with the context as its thread default.
    explicit GMainThread(std::function<void()> setup);
    // Stops the loop and joins; tasks not yet run are dropped.
    ~GMainThread();
    GMainThread(const GMainThread&) = delete;
    GMainThread& operator=(const GMainThread&) = delete;

    void post(std::function<void()> task);
    // Runs `task` on the thread and waits for it. False when it did not finish within `timeout`;
    // it then still runs later, so it must own whatever it touches.
    bool call(std::function<void()> task, std::chrono::milliseconds timeout);
    bool isCurrent() const { return std::this_thread::get_id() == id_; }
    GMainContext* context() const { return context_; }

private:
    static gboolean runNext(gpointer self);

    // Tasks pass through a queue of our own, so that the hand-over is one that race detectors see.
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
    std::thread::id id_;
};

}  // namespace linuxplatform
