// Holds a keystroke listener for scripts/key-delivery (bench/key-delivery.sh) while a GTK 3 field
// measures how long each key waits on the accessibility registry.
//
//   key_delivery_bench agent [held]     the agent's workspace with a key monitor
//   key_delivery_bench thread [held]    a libatspi keystroke listener served on the AT-SPI thread
//   key_delivery_bench compare          the keys heard, beside the keys the focused field's text
//                                       changes stand for (as for GTK 4), in any toolkit
//
// "held": the AT-SPI thread spends its time in reads of 600 ms that nobody answers (as a client
// whose text read stalls), with a moment's pause between them. Runs until killed; prints the keys
// heard on exit.
#include <atspi/atspi.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/MainLoop.h"
#include "platform/Platform.h"
#include "platform/linux/atspi/AtspiEvents.h"
#include "platform/linux/atspi/AtspiThread.h"
#include "platform/linux/atspi/TypingFromText.h"
#include "platform/linux/wayland/AtspiWorkspace.h"

namespace {

std::atomic<int> heard{0};
std::atomic<int> heardBy[118], derivedBy[118];  // by key code: 0, 51, 117
std::atomic<bool> stop{false};

// Handlers run where they are posted: the bench only counts.
class InlineLoop final : public platform::MainLoop {
public:
    void post(std::function<void()> task) override { task(); }
    std::shared_ptr<platform::Timer> scheduleRepeating(double, std::function<void()>) override { return nullptr; }
    bool isMainThread() const override { return true; }
};

gboolean onKey(AtspiDeviceEvent* stroke, void*) {
    if (stroke->type == ATSPI_KEY_PRESSED_EVENT) ++heard;
    g_boxed_free(ATSPI_TYPE_DEVICE_EVENT, stroke);
    return FALSE;
}

// A stalled read: the thread blocks without dispatching, as in a libatspi call awaiting its answer.
void holdUp(const std::shared_ptr<linuxplatform::GMainThread>& thread) {
    if (stop) return;
    thread->post([thread] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        std::thread([thread] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            holdUp(thread);
        }).detach();
    });
}

}  // namespace

// The focused field's changes, read as the workspace reads a GTK 4 field's; on the AT-SPI thread.
void derive() {
    static AtspiAccessible* field = nullptr;
    static linuxplatform::TypingFromText typing;
    static auto tell = [](const std::vector<int>& codes) {
        for (int code : codes) ++derivedBy[code];
    };
    linuxplatform::AtspiEvents::subscribe(
        {"object:text-changed", "object:text-caret-moved", "object:state-changed:focused"}, [](const AtspiEvent& event) {
            const std::string type = event.type ? event.type : "";
            const auto now = std::chrono::steady_clock::now();
            tell(typing.due(now));
            if (type.rfind("object:state-changed:focused", 0) == 0) {
                if (event.detail1 && event.source != field) tell(typing.restart()), field = event.source;
            } else if (event.source == field) {
                if (type.rfind("object:text-changed:insert", 0) == 0) tell(typing.inserted(event.detail1, event.detail2, now));
                else if (type.rfind("object:text-changed:delete", 0) == 0) tell(typing.deleted(event.detail1, event.detail2, now));
                else if (type.rfind("object:text-caret-moved", 0) == 0) tell(typing.caretMoved(event.detail1));
            }
        });
    GSource* timer = g_timeout_source_new(10);  // what is still held once typing stops
    g_source_set_callback(
        timer,
        [](gpointer) -> gboolean {
            tell(typing.due(std::chrono::steady_clock::now()));
            return G_SOURCE_CONTINUE;
        },
        nullptr, nullptr);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
}

int main(int argc, char** argv) {
    const bool thread = argc > 1 && std::strcmp(argv[1], "thread") == 0;
    const bool compare = argc > 1 && std::strcmp(argv[1], "compare") == 0;
    const bool held = argc > 2 && std::strcmp(argv[2], "held") == 0;
    std::signal(SIGTERM, [](int) { stop = true; });
    std::signal(SIGINT, [](int) { stop = true; });
    platform::Services services;
    services.mainLoop = std::make_shared<InlineLoop>();
    platform::install(services);

    auto atspi = linuxplatform::sharedAtspiThread();
    std::unique_ptr<linuxplatform::AtspiWorkspace> workspace;
    std::shared_ptr<platform::Registration> monitor;
    if (thread) {
        atspi->call(
            [] {
                if (!linuxplatform::atspiConnected()) return;
                atspi_set_main_context(g_main_context_get_thread_default());
                AtspiDeviceListener* listener = atspi_device_listener_new(onKey, nullptr, nullptr);
                for (int mask = 0; mask < 256; ++mask)
                    atspi_register_keystroke_listener(listener, nullptr, static_cast<AtspiKeyMaskType>(mask),
                                                      1 << ATSPI_KEY_PRESSED_EVENT, ATSPI_KEYLISTENER_NOSYNC, nullptr);
            },
            std::chrono::seconds(30));
    } else {
        workspace = std::make_unique<linuxplatform::AtspiWorkspace>();
        monitor = workspace->addGlobalKeyDownMonitor([](int code) {
            ++heard;
            ++heardBy[code];
        });
        if (compare) atspi->call(derive, std::chrono::seconds(10));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the registrations reach the registry
    std::printf("listening\n");
    std::fflush(stdout);
    if (held) holdUp(atspi);
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("keys heard: %d\n", heard.load());
    if (compare)
        std::printf("heard: %d others, %d BackSpace, %d Delete; told by the text: %d others, %d BackSpace, %d Delete\n",
                    heardBy[0].load(), heardBy[51].load(), heardBy[117].load(), derivedBy[0].load(), derivedBy[51].load(),
                    derivedBy[117].load());
    std::fflush(stdout);
    std::_Exit(0);  // the AT-SPI thread may be in a held read
}
