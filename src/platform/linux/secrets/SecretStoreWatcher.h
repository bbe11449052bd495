#pragma once
// Follows, on a GLib thread of its own, what happens to the secret stores outside the agent: the
// Secret Service's signals (items created, changed or deleted, collections locked or unlocked),
// the owner-only file store's folder, and the Secret Service itself appearing on the session bus.
#include <functional>
#include <memory>
#include <string>
#include <thread>

// GLib's own types, without its headers in those of the agent.
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace linuxplatform {

class CachingSecretStore;

class SecretStoreWatcher {
public:
    struct Handlers {
        std::function<void()> changed;          // something in a store may have changed
        std::function<void()> serviceAppeared;  // a Secret Service now owns its bus name
    };
    // The handlers run on the watcher's thread, never on the main thread.
    SecretStoreWatcher(std::string fallbackFolder, Handlers handlers);
    ~SecretStoreWatcher();
    SecretStoreWatcher(const SecretStoreWatcher&) = delete;
    SecretStoreWatcher& operator=(const SecretStoreWatcher&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

// Keeps `store` following outside changes, and moves it onto the Secret Service once one appears
// while it still keeps its items in the file store.
std::unique_ptr<SecretStoreWatcher> followOutsideChanges(const std::shared_ptr<CachingSecretStore>& store,
                                                         const std::string& fallbackFolder);

}  // namespace linuxplatform
