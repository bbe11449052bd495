#pragma once
#include <memory>

#include "platform/Accessibility.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/LoopbackListeners.h"
#include "platform/MainLoop.h"
#include "platform/ScreenCapture.h"
#include "platform/SecretStore.h"
#include "platform/Windowing.h"
#include "platform/Worker.h"
#include "platform/Workspace.h"

namespace platform {

// The facilities the logic runs on. The entry point installs the Linux ones; tests
// install the simulated ones.
struct Services {
    std::shared_ptr<Clock> clock;
    std::shared_ptr<MainLoop> mainLoop;
    std::shared_ptr<Http> http;
    std::shared_ptr<Worker> worker;
    std::shared_ptr<SemaphoreFactory> semaphores;
    std::shared_ptr<SecretStore> secrets;
    std::shared_ptr<Files> files;
    std::shared_ptr<Accessibility> accessibility;
    std::shared_ptr<ScreenCapture> screenCapture;
    std::shared_ptr<TextRecognizer> textRecognizer;
    std::shared_ptr<Windowing> windowing;
    std::shared_ptr<UserDefaults> userDefaults;
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<UrlEvents> urlEvents;
    std::shared_ptr<LoopbackListeners> loopbackListeners;
};

// Installs the set handed out by get(). Not thread-safe: install before anything runs.
void install(Services services);
const Services& get();

inline Clock& clock() { return *get().clock; }
inline MainLoop& mainLoop() { return *get().mainLoop; }

}  // namespace platform
