#include "platform/linux/wayland/AtspiWorkspace.h"

#include <atspi/atspi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/ApplicationChange.h"
#include "platform/MainLoop.h"
#include "platform/Platform.h"
#include "platform/linux/atspi/AtspiEvents.h"
#include "platform/linux/atspi/AtspiThread.h"
#include "platform/linux/atspi/KeystrokeListener.h"
#include "platform/linux/atspi/TypingFromText.h"
#include "platform/linux/consent/Consent.h"

namespace linuxplatform {

namespace {

constexpr const char* kOwnIdentifier = "com.wellspire.agent";
// Keysyms of the keys that delete.
constexpr unsigned kBackSpace = 0xff08, kDelete = 0xffff, kKeypadDelete = 0xff9f;
const std::vector<std::string> kActivationEvents = {"window:activate", "object:state-changed:focused"};
// What tells key-downs where the toolkit sends no keys: the focused field's text and caret.
// The same types as the focus tracker's, so that no event is registered, and delivered, twice.
const std::vector<std::string> kTypingEvents = {"object:text-changed", "object:text-caret-moved",
                                                "object:state-changed:focused"};
constexpr std::size_t kMaxKnownApplications = 512;

class WorkspaceRegistration final : public platform::Registration {
public:
    explicit WorkspaceRegistration(std::uint64_t id) : id(id) {}
    const std::uint64_t id;
};

// A key monitor lasts as long as its registration: with the last one gone, AT-SPI is told to send
// no more keystrokes.
class KeyRegistration final : public platform::Registration {
public:
    KeyRegistration(std::uint64_t id, std::function<void(std::uint64_t)> remove) : id_(id), remove_(std::move(remove)) {}
    ~KeyRegistration() override { remove_(id_); }

private:
    const std::uint64_t id_;
    std::function<void(std::uint64_t)> remove_;
};

void postToMain(std::function<void()> task) {
    if (auto& loop = platform::get().mainLoop) loop->post(std::move(task));
}

std::string commandName(int pid) {
    if (pid <= 0) return {};
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    if (!states) return false;
    const bool has = atspi_state_set_contains(states, state);
    g_object_unref(states);
    return has;
}

}  // namespace

// What the watchers' threads and the main thread share. Deliveries hold it weakly.
struct AtspiWorkspace::Impl {
    const int ownPid = static_cast<int>(::getpid());
    std::shared_ptr<CompositorFocus> compositor;

    mutable std::mutex mutex;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, std::function<void(const std::optional<platform::RunningApplication>&)>> activation;
    std::map<std::uint64_t, std::function<void(int)>> keys;
    platform::ApplicationChange change;
    std::optional<platform::RunningApplication> frontmost;  // AT-SPI's, where no compositor tells

    std::shared_ptr<GMainThread> atspiThread;
    struct AtspiSide;
    std::shared_ptr<AtspiSide> atspi;
    std::atomic<bool> wantKeys{false};
    std::shared_ptr<Consent> consent;
    // Brings the AT-SPI listeners in line with what is wanted and agreed to; main thread.
    void follow();

    std::optional<platform::RunningApplication> front() const;
    // From either watcher's thread: `app` is now in front; told to the observers when it is
    // another application than before.
    void becameActive(const std::weak_ptr<Impl>& weak, std::optional<platform::RunningApplication> app, bool tell);
    void keyDown(const std::weak_ptr<Impl>& weak, int code);
};

// Lives on, and is touched only from, the AT-SPI thread.
struct AtspiWorkspace::Impl::AtspiSide {
    std::weak_ptr<Impl> owner;
    std::uint64_t events = 0;
    std::unique_ptr<KeystrokeListener> keys;
    bool connected = false;
    // Pid and name by the application's bus name, which is never reused.
    std::map<std::string, std::pair<int, std::string>> known;

    // Key-downs from text changes: the field that has the focus, whether its changes stand for
    // keys (known at its first change), and the one that last changed without having the focus.
    std::uint64_t typingEvents = 0;
    AtspiAccessible* field = nullptr;
    std::optional<bool> fieldTypes;
    AtspiAccessible* unfocused = nullptr;
    TypingFromText typing;
    GSource* typingTimer = nullptr;
    std::map<std::string, bool> sendsNoKeys;  // by the application's bus name

    bool connect(GMainContext* context);
    void followActivations();
    void stopActivations();
    void followKeys();
    void stopKeys();
    void followTyping();
    void stopTyping();
    void stop();
    std::optional<platform::RunningApplication> applicationOfObject(AtspiAccessible* object);
    std::optional<platform::RunningApplication> activeApplication();

    void onEvent(const AtspiEvent& event);
    void onTyping(const AtspiEvent& event);
    void setField(AtspiAccessible* object);
    bool typesKeys(AtspiAccessible* object);
    bool toolkitSendsNoKeys(AtspiAccessible* object);
    void tell(const std::vector<int>& codes);
    static gboolean onTypingTimer(void* data);
};

std::optional<platform::RunningApplication> AtspiWorkspace::Impl::front() const {
    if (compositor) {
        const auto window = compositor->focusedWindow();
        if (!window) return std::nullopt;
        return applicationOf(*window, ownPid);
    }
    std::lock_guard lock(mutex);
    return frontmost;
}

void AtspiWorkspace::Impl::becameActive(const std::weak_ptr<Impl>& weak, std::optional<platform::RunningApplication> app,
                                        bool tell) {
    {
        std::lock_guard lock(mutex);
        if (app) frontmost = app;
        if (!change.becameActive(app) || !tell) return;
    }
    postToMain([weak, app = std::move(app)] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<std::function<void(const std::optional<platform::RunningApplication>&)>> handlers;
        {
            std::lock_guard lock(self->mutex);
            for (const auto& [id, h] : self->activation) handlers.push_back(h);
        }
        for (const auto& h : handlers) h(app);
    });
}

void AtspiWorkspace::Impl::keyDown(const std::weak_ptr<Impl>& weak, int code) {
    // Keystrokes do not name their target: those typed while the agent is in front are its own.
    const auto app = front();
    if (app && app->pid == ownPid) return;
    postToMain([weak, code] {
        auto self = weak.lock();
        if (!self) return;
        std::vector<std::function<void(int)>> handlers;
        {
            std::lock_guard lock(self->mutex);
            for (const auto& [id, h] : self->keys) handlers.push_back(h);
        }
        for (const auto& h : handlers) h(code);
    });
}

bool AtspiWorkspace::Impl::AtspiSide::connect(GMainContext* context) {
    if (connected) return true;
    if (!atspiConnected()) return false;
    atspi_set_main_context(context);
    connected = true;
    return true;
}

void AtspiWorkspace::Impl::AtspiSide::followActivations() {
    if (events || !connected) return;
    events = AtspiEvents::subscribe(kActivationEvents, [this](const AtspiEvent& event) { onEvent(event); });
    // What was in front before we listened, known without telling anyone.
    if (auto app = activeApplication())
        if (auto self = owner.lock()) self->becameActive(owner, std::move(app), false);
}

void AtspiWorkspace::Impl::AtspiSide::stopActivations() {
    if (events) AtspiEvents::unsubscribe(events);
    events = 0;
}

// The listener answers the registry from a thread of its own, so a key never waits on this one.
void AtspiWorkspace::Impl::AtspiSide::followKeys() {
    if (keys || !connected) return;
    keys = std::make_unique<KeystrokeListener>([owner = owner](unsigned keysym, const char* name) {
        if (auto self = owner.lock()) self->keyDown(owner, keyCodeForStroke(keysym, name));
    });
}

void AtspiWorkspace::Impl::AtspiSide::stopKeys() { keys.reset(); }

void AtspiWorkspace::Impl::AtspiSide::followTyping() {
    if (typingEvents || !connected) return;
    typingEvents = AtspiEvents::subscribe(kTypingEvents, [this](const AtspiEvent& event) { onTyping(event); });
}

void AtspiWorkspace::Impl::AtspiSide::stopTyping() {
    if (typingEvents) AtspiEvents::unsubscribe(typingEvents);
    typingEvents = 0;
    typing.restart();  // nothing held is told once keys are no longer wanted
    setField(nullptr);
    if (unfocused) g_object_unref(unfocused);
    unfocused = nullptr;
    if (typingTimer) g_source_destroy(typingTimer), g_source_unref(typingTimer);
    typingTimer = nullptr;
}

void AtspiWorkspace::Impl::AtspiSide::stop() {
    stopActivations();
    stopKeys();
    stopTyping();
}

std::optional<platform::RunningApplication> AtspiWorkspace::Impl::AtspiSide::applicationOfObject(AtspiAccessible* object) {
    const char* busName = object->parent.app && object->parent.app->bus_name ? object->parent.app->bus_name : nullptr;
    if (busName) {
        if (const auto it = known.find(busName); it != known.end()) {
            if (it->second.first == 0 && it->second.second.empty()) return std::nullopt;
            const auto self = owner.lock();
            return applicationOf(it->second.first, it->second.second, self ? self->ownPid : 0);
        }
    }
    GError* error = nullptr;
    AtspiAccessible* app = atspi_accessible_get_application(object, &error);
    if (error) g_clear_error(&error);
    int pid = 0;
    std::string name;
    if (app) {
        pid = static_cast<int>(atspi_accessible_get_process_id(app, &error));
        if (error) {
            g_clear_error(&error);
            pid = 0;
        }
        if (gchar* n = atspi_accessible_get_name(app, &error)) {
            name = n;
            g_free(n);
        }
        if (error) g_clear_error(&error);
        g_object_unref(app);
    }
    if (busName) {
        if (known.size() >= kMaxKnownApplications) known.clear();
        known[busName] = {pid, name};
    }
    if (pid == 0 && name.empty()) return std::nullopt;
    const auto self = owner.lock();
    return applicationOf(pid, name, self ? self->ownPid : 0);
}

// The application with an active window, looked for among those on the desktop.
std::optional<platform::RunningApplication> AtspiWorkspace::Impl::AtspiSide::activeApplication() {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return std::nullopt;
    std::optional<platform::RunningApplication> found;
    GError* error = nullptr;
    const gint apps = atspi_accessible_get_child_count(desktop, &error);
    if (error) g_clear_error(&error);
    for (gint a = 0; a < apps && !found; ++a) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, &error);
        if (error) g_clear_error(&error);
        if (!app) continue;
        const gint windows = atspi_accessible_get_child_count(app, &error);
        if (error) g_clear_error(&error);
        for (gint w = 0; w < windows && !found; ++w) {
            AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, &error);
            if (error) g_clear_error(&error);
            if (!window) continue;
            if (hasState(window, ATSPI_STATE_ACTIVE)) found = applicationOfObject(window);
            g_object_unref(window);
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found;
}

void AtspiWorkspace::Impl::AtspiSide::onEvent(const AtspiEvent& event) {
    const bool focusLost = event.type && std::strncmp(event.type, "object:state-changed:focused", 28) == 0 &&
                           event.detail1 == 0;
    if (event.source && !focusLost) {
        if (auto app = applicationOfObject(event.source))
            if (auto self = owner.lock()) self->becameActive(owner, std::move(app), true);
    }
}

void AtspiWorkspace::Impl::AtspiSide::tell(const std::vector<int>& codes) {
    if (auto self = owner.lock())
        for (int code : codes) self->keyDown(owner, code);
    if (typingTimer) g_source_destroy(typingTimer), g_source_unref(typingTimer);
    typingTimer = nullptr;
    if (const auto deadline = typing.deadline()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
        typingTimer = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(0, wait.count())));
        g_source_set_callback(typingTimer, onTypingTimer, this, nullptr);
        g_source_attach(typingTimer, g_main_context_get_thread_default());
    }
}

gboolean AtspiWorkspace::Impl::AtspiSide::onTypingTimer(void* data) {
    auto* side = static_cast<AtspiSide*>(data);
    g_source_unref(side->typingTimer);
    side->typingTimer = nullptr;
    side->tell(side->typing.due(std::chrono::steady_clock::now() + std::chrono::milliseconds(1)));
    return G_SOURCE_REMOVE;
}

void AtspiWorkspace::Impl::AtspiSide::setField(AtspiAccessible* object) {
    if (object == field) return;
    const auto held = typing.restart();
    if (field && fieldTypes.value_or(false)) tell(held);
    if (field) g_object_unref(field);
    field = object ? static_cast<AtspiAccessible*>(g_object_ref(object)) : nullptr;
    fieldTypes.reset();
}

// Whether the application's toolkit tells AT-SPI no keys (GTK 4 does not), asked once per application.
bool AtspiWorkspace::Impl::AtspiSide::toolkitSendsNoKeys(AtspiAccessible* object) {
    const char* busName = object->parent.app && object->parent.app->bus_name ? object->parent.app->bus_name : nullptr;
    if (!busName) return false;
    if (const auto it = sendsNoKeys.find(busName); it != sendsNoKeys.end()) return it->second;
    GError* error = nullptr;
    bool none = false;
    // The toolkit is told by the application object; GTK 4 tells it nowhere else.
    if (AtspiAccessible* app = atspi_accessible_get_application(object, &error)) {
        gchar* name = atspi_accessible_get_toolkit_name(app, &error);
        g_clear_error(&error);
        gchar* version = atspi_accessible_get_toolkit_version(app, &error);
        g_clear_error(&error);
        none = name && version && g_ascii_strcasecmp(name, "gtk") == 0 && std::atoi(version) >= 4;
        g_free(name);
        g_free(version);
        g_object_unref(app);
    }
    g_clear_error(&error);
    if (sendsNoKeys.size() >= kMaxKnownApplications) sendsNoKeys.clear();
    sendsNoKeys[busName] = none;
    return none;
}

// A field's changes stand for keys when its toolkit sends none and it is an editable field with
// the focus (not a terminal, whose text changes with what runs in it).
bool AtspiWorkspace::Impl::AtspiSide::typesKeys(AtspiAccessible* object) {
    if (!toolkitSendsNoKeys(object)) return false;
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    if (!states) return false;
    const bool editable = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED) &&
                          atspi_state_set_contains(states, ATSPI_STATE_EDITABLE);
    g_object_unref(states);
    if (!editable) return false;
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(object, &error);
    g_clear_error(&error);
    return role != ATSPI_ROLE_TERMINAL;
}

// Only positions and lengths are taken from the events; their text is never looked at.
void AtspiWorkspace::Impl::AtspiSide::onTyping(const AtspiEvent& event) {
    if (!event.type || !event.source) return;
    const std::string_view type = event.type;
    if (type.rfind("object:state-changed:focused", 0) == 0) {
        if (event.detail1) setField(event.source);
        else if (event.source == field) setField(nullptr);
        return;
    }
    const bool insert = type.rfind("object:text-changed:insert", 0) == 0;
    const bool remove = type.rfind("object:text-changed:delete", 0) == 0;
    if (event.source != field) {
        // A change in another object than the focused one: it is the focused field when it says so.
        if (!insert && !remove) return;
        if (event.source == unfocused) return;
        if (!typesKeys(event.source)) {
            if (unfocused) g_object_unref(unfocused);
            unfocused = static_cast<AtspiAccessible*>(g_object_ref(event.source));
            return;
        }
        setField(event.source);
        fieldTypes = true;
    }
    if (!fieldTypes) fieldTypes = typesKeys(field);
    if (!*fieldTypes) return;
    const auto now = std::chrono::steady_clock::now();
    if (insert) tell(typing.inserted(event.detail1, event.detail2, now));
    else if (remove) tell(typing.deleted(event.detail1, event.detail2, now));
    else tell(typing.caretMoved(event.detail1));
}

AtspiWorkspace::AtspiWorkspace(std::shared_ptr<CompositorFocus> compositor, std::shared_ptr<Consent> consent)
    : impl_(std::make_shared<Impl>()) {
    impl_->compositor = std::move(compositor);
    impl_->consent = std::move(consent);
    impl_->atspiThread = sharedAtspiThread();
    impl_->atspi = std::make_shared<Impl::AtspiSide>();
    impl_->atspi->owner = impl_;
    std::weak_ptr<Impl> weak = impl_;
    if (impl_->compositor) {
        impl_->compositor->followFocus([weak](const std::optional<CompositorWindow>& window) {
            auto self = weak.lock();
            if (!self) return;
            std::optional<platform::RunningApplication> app;
            if (window) app = applicationOf(*window, self->ownPid);
            self->becameActive(weak, std::move(app), true);
        });
        if (auto window = impl_->compositor->focusedWindow())
            impl_->becameActive(weak, applicationOf(*window, impl_->ownPid), false);
    }
    if (impl_->consent)
        impl_->consent->onChange([weak] {
            if (auto self = weak.lock()) self->follow();
        });
    impl_->follow();
}

// AT-SPI is listened to only while the user agrees to typed-text reading (the accessibility bus
// is on only then): for keystrokes while someone wants them, and for activations where no
// compositor tells of them.
void AtspiWorkspace::Impl::follow() {
    const bool agreed = !consent || consent->typedText();
    const bool activations = agreed && !compositor;
    const bool keys = agreed && wantKeys.load();
    auto side = atspi;
    atspiThread->post([side, activations, keys] {
        if ((activations || keys) && !side->connect(g_main_context_get_thread_default())) return;
        if (activations) side->followActivations();
        else side->stopActivations();
        if (keys) {
            side->followKeys();
            side->followTyping();
        } else {
            side->stopKeys();
            side->stopTyping();
        }
    });
}

AtspiWorkspace::~AtspiWorkspace() {
    if (impl_->compositor) impl_->compositor->followFocus(nullptr);
    auto side = impl_->atspi;
    impl_->atspiThread->post([side] { side->stop(); });
}

std::optional<platform::RunningApplication> AtspiWorkspace::frontmostApplication() { return impl_->front(); }

std::shared_ptr<platform::Registration> AtspiWorkspace::addActivationObserver(
    std::function<void(const std::optional<platform::RunningApplication>&)> handler) {
    std::lock_guard lock(impl_->mutex);
    const auto id = impl_->nextId++;
    impl_->activation[id] = std::move(handler);
    return std::make_shared<WorkspaceRegistration>(id);
}

void AtspiWorkspace::removeActivationObserver(const std::shared_ptr<platform::Registration>& registration) {
    const auto* r = dynamic_cast<const WorkspaceRegistration*>(registration.get());
    if (!r) return;
    std::lock_guard lock(impl_->mutex);
    impl_->activation.erase(r->id);
}

std::shared_ptr<platform::Registration> AtspiWorkspace::addGlobalKeyDownMonitor(std::function<void(int keyCode)> handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(impl_->mutex);
        id = impl_->nextId++;
        impl_->keys[id] = std::move(handler);
    }
    if (!impl_->wantKeys.exchange(true)) impl_->follow();
    std::weak_ptr<Impl> weak = impl_;
    return std::make_shared<KeyRegistration>(id, [weak](std::uint64_t id) {
        auto self = weak.lock();
        if (!self) return;
        bool none = false;
        {
            std::lock_guard lock(self->mutex);
            self->keys.erase(id);
            none = self->keys.empty();
        }
        if (none && self->wantKeys.exchange(false)) self->follow();
    });
}

int AtspiWorkspace::ownPid() const { return impl_->ownPid; }

std::string AtspiWorkspace::bundlePath() const {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec).string();
    return exe.parent_path().string();
}

int AtspiWorkspace::keyCodeForStroke(unsigned keysym, const char* name) {
    switch (keysym) {
        case kBackSpace: return 51;
        case kDelete:
        case kKeypadDelete: return 117;
        default: break;
    }
    if (!name) return 0;
    if (std::strcmp(name, "BackSpace") == 0) return 51;
    if (std::strcmp(name, "Delete") == 0 || std::strcmp(name, "KP_Delete") == 0) return 117;
    return 0;
}

platform::RunningApplication AtspiWorkspace::applicationOf(int pid, const std::string& name, int ownPid) {
    platform::RunningApplication app;
    app.pid = pid > 0 ? pid : 0;
    std::string shown = name.empty() ? commandName(app.pid) : name;
    if (!shown.empty()) app.localizedName = shown;
    if (app.pid != 0 && app.pid == ownPid)
        app.bundleIdentifier = kOwnIdentifier;
    else
        app.bundleIdentifier = app.localizedName;
    return app;
}

platform::RunningApplication AtspiWorkspace::applicationOf(const CompositorWindow& window, int ownPid) {
    return applicationOf(window.pid.value_or(0), window.appId, ownPid);
}

}  // namespace linuxplatform
