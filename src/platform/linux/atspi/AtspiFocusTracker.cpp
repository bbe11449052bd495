#include "platform/linux/atspi/AtspiFocusTracker.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/linux/atspi/AtspiEvents.h"
#include "platform/linux/atspi/AtspiThread.h"

namespace linuxplatform {

namespace {

const std::vector<std::string> kEvents = {
    "object:state-changed:focused",
    "object:text-changed",
    "object:text-caret-moved",
    "object:text-selection-changed",
    "window:activate",
};
// How far a search for the focused element may go; after a window came up, less far (its focus
// event usually follows anyway, and events wait while we search).
constexpr int kWalkMaxNodes = 4000;
constexpr int kActivationMaxNodes = 500;
constexpr auto kActivationBudget = std::chrono::milliseconds(300);
constexpr int kWalkMaxDepth = 32;
constexpr auto kWalkBudget = std::chrono::seconds(2);
// How far below a focused element without text its editable part is looked for.
constexpr int kInnerMaxDepth = 3;
constexpr int kInnerMaxNodes = 64;
// Embedded objects (paragraphs of a rich editor) are read this deep and this many.
constexpr int kEmbeddedMaxDepth = 3;
constexpr int kEmbeddedMaxObjects = 64;
// How far up from a text event's source its focused field is looked for.
constexpr int kSubtreeMaxDepth = 6;
// U+FFFC OBJECT REPLACEMENT CHARACTER: where hypertext holds a child object.
constexpr const char* kEmbedded = "\xEF\xBF\xBC";

std::string validUtf8(const gchar* text) {
    if (!text) return {};
    if (g_utf8_validate(text, -1, nullptr)) return text;
    gchar* fixed = g_utf8_make_valid(text, -1);
    std::string out = fixed;
    g_free(fixed);
    return out;
}

// The characters [start, end) of a UTF-8 text, clamped to it.
std::string characters(const std::string& text, int start, int end) {
    const glong length = g_utf8_strlen(text.c_str(), static_cast<gssize>(text.size()));
    const glong from = std::clamp<glong>(start, 0, length), to = std::clamp<glong>(end, 0, length);
    if (to <= from) return {};
    const gchar* a = g_utf8_offset_to_pointer(text.c_str(), from);
    const gchar* b = g_utf8_offset_to_pointer(text.c_str(), to);
    return std::string(a, static_cast<std::size_t>(b - a));
}

// Paragraphs read from a rich editor can add up past the bound of one text: the last ones stay,
// as the writing goes on there.
std::string clampCharacters(std::string text) {
    const glong length = g_utf8_strlen(text.c_str(), static_cast<gssize>(text.size()));
    constexpr glong most = AtspiFocusTracker::maxCharacters;
    if (length <= most) return text;
    return std::string(g_utf8_offset_to_pointer(text.c_str(), length - most));
}

std::string withoutEmbedded(std::string text) {
    for (auto at = text.find(kEmbedded); at != std::string::npos; at = text.find(kEmbedded, at)) text.erase(at, 3);
    return text;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    if (!states) return false;
    const bool has = atspi_state_set_contains(states, state);
    g_object_unref(states);
    return has;
}

AtspiRole roleOf(AtspiAccessible* object, bool& known) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(object, &error);
    known = !error;
    g_clear_error(&error);
    return role;
}

// Never read: what the toolkit marks as a password field, or the editable part of one (GTK 4 puts
// the text of a password entry in a child of its own).
bool isSecret(AtspiAccessible* object) {
    bool known = false;
    if (roleOf(object, known) == ATSPI_ROLE_PASSWORD_TEXT || !known) return true;  // unknown counts as secret
    GError* error = nullptr;
    AtspiAccessible* parent = atspi_accessible_get_parent(object, &error);
    g_clear_error(&error);
    if (!parent) return false;
    const bool secret = roleOf(parent, known) == ATSPI_ROLE_PASSWORD_TEXT;
    g_object_unref(parent);
    return secret;
}

// A field one types in: editable, and not a terminal (whose screen some toolkits mark editable).
// A page being read, a terminal's output or a label is not.
bool isField(AtspiAccessible* object) {
    if (!hasState(object, ATSPI_STATE_EDITABLE)) return false;
    bool known = false;
    const AtspiRole role = roleOf(object, known);
    return known && role != ATSPI_ROLE_TERMINAL;
}

// The text of a Text object, at most `AtspiFocusTracker::maxCharacters` of it: a longer text is
// read around its caret, where the writing is. The length is asked first: some toolkits (GTK 4
// entries) answer an end offset of -1 with nothing.
struct Excerpt {
    std::string text;
    gint start = 0;  // character offset of `text` in the whole
};

std::optional<Excerpt> boundedText(AtspiText* text) {
    GError* error = nullptr;
    const gint count = atspi_text_get_character_count(text, &error);
    if (error) {
        g_clear_error(&error);
        return std::nullopt;
    }
    if (count <= 0) return Excerpt{};
    constexpr gint most = AtspiFocusTracker::maxCharacters;
    gint start = 0, end = count;
    if (count > most) {
        gint caret = atspi_text_get_caret_offset(text, &error);
        g_clear_error(&error);
        if (caret < 0 || caret > count) caret = count;
        end = std::min(count, std::max(caret + most / 4, most));
        start = end - most;
    }
    gchar* all = atspi_text_get_text(text, start, end, &error);
    if (error) g_clear_error(&error);
    if (!all) return std::nullopt;
    Excerpt out{validUtf8(all), start};
    g_free(all);
    return out;
}

// Objects that a rich editor lays out as lines of their own.
bool isBlock(AtspiRole role) {
    switch (role) {
        case ATSPI_ROLE_SECTION:
        case ATSPI_ROLE_PARAGRAPH:
        case ATSPI_ROLE_HEADING:
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_ITEM:
        case ATSPI_ROLE_BLOCK_QUOTE:
        case ATSPI_ROLE_ARTICLE:
        case ATSPI_ROLE_TABLE_ROW:
            return true;
        default:
            return false;
    }
}

// Hypertext with its embedded objects replaced by their own text, as a rich editor shows it: each
// paragraph of a contenteditable is such an object, and stands on a line of its own. `text` starts
// at character `base` of the object's text.
std::string expandEmbedded(AtspiAccessible* object, const std::string& text, int base, int depth, int& budget) {
    if (text.find(kEmbedded) == std::string::npos) return text;
    if (depth >= kEmbeddedMaxDepth || budget <= 0) return withoutEmbedded(text);
    AtspiHypertext* hypertext = atspi_accessible_get_hypertext_iface(object);
    if (!hypertext) return withoutEmbedded(text);
    std::string out;
    std::size_t from = 0;
    glong offset = base;  // character offset of `from`
    bool blockBefore = false;
    for (auto at = text.find(kEmbedded); at != std::string::npos; at = text.find(kEmbedded, from)) {
        offset += g_utf8_strlen(text.c_str() + from, static_cast<gssize>(at - from));
        if (blockBefore && at > from && !out.empty() && out.back() != '\n') out += '\n';
        out.append(text, from, at - from);
        from = at + 3;
        blockBefore = false;
        const glong here = offset++;
        if (out.size() > 4 * static_cast<std::size_t>(AtspiFocusTracker::maxCharacters)) budget = 0;
        if (--budget < 0) continue;
        GError* error = nullptr;
        const gint index = atspi_hypertext_get_link_index(hypertext, static_cast<gint>(here), &error);
        if (error) g_clear_error(&error);
        if (index < 0) continue;
        AtspiHyperlink* link = atspi_hypertext_get_link(hypertext, index, &error);
        if (error) g_clear_error(&error);
        if (!link) continue;
        AtspiAccessible* child = atspi_hyperlink_get_object(link, 0, &error);
        if (error) g_clear_error(&error);
        g_object_unref(link);
        if (!child) continue;
        const AtspiRole role = atspi_accessible_get_role(child, &error);
        const bool known = !error;
        if (error) g_clear_error(&error);
        if (known && role != ATSPI_ROLE_PASSWORD_TEXT) {
            if (AtspiText* childText = atspi_accessible_get_text_iface(child)) {
                if (auto inner = boundedText(childText)) {
                    blockBefore = isBlock(role);
                    if (blockBefore && !out.empty() && out.back() != '\n') out += '\n';
                    out += expandEmbedded(child, inner->text, inner->start, depth + 1, budget);
                }
                g_object_unref(childText);
            }
        }
        g_object_unref(child);
    }
    if (blockBefore && from < text.size() && !out.empty() && out.back() != '\n') out += '\n';
    out.append(text, from, std::string::npos);
    g_object_unref(hypertext);
    return out;
}

// Breadth first below `root`, the first node that `match` accepts (a new reference), or nothing.
AtspiAccessible* findBelow(AtspiAccessible* root, int maxDepth, int maxNodes, std::chrono::steady_clock::duration budget,
                           const std::function<bool(AtspiAccessible*)>& match,
                           const std::function<bool(AtspiAccessible*)>& skip) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    std::vector<std::pair<AtspiAccessible*, int>> queue{{static_cast<AtspiAccessible*>(g_object_ref(root)), 0}};
    AtspiAccessible* found = nullptr;
    int visited = 0;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        auto [node, depth] = queue[i];
        if (found || ++visited > maxNodes || std::chrono::steady_clock::now() > deadline) continue;
        if (depth > 0 && match(node)) {
            found = static_cast<AtspiAccessible*>(g_object_ref(node));
            continue;
        }
        if (depth >= maxDepth || skip(node)) continue;
        GError* error = nullptr;
        const gint n = atspi_accessible_get_child_count(node, &error);
        if (error) {
            g_clear_error(&error);
            continue;
        }
        for (gint c = 0; c < n && static_cast<int>(queue.size()) < maxNodes * 2; ++c) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(node, c, &error);
            if (error) g_clear_error(&error);
            if (child) queue.emplace_back(child, depth + 1);
        }
    }
    for (auto& [node, depth] : queue) g_object_unref(node);
    return found;
}

// The focused element below a window or an application, found by its state.
AtspiAccessible* focusedBelow(AtspiAccessible* root, int maxNodes = kWalkMaxNodes,
                              std::chrono::steady_clock::duration budget = kWalkBudget) {
    return findBelow(
        root, kWalkMaxDepth, maxNodes, budget, [](AtspiAccessible* node) { return hasState(node, ATSPI_STATE_FOCUSED); },
        // Lists and tables that manage their own descendants can hold millions of rows.
        [](AtspiAccessible* node) { return hasState(node, ATSPI_STATE_MANAGES_DESCENDANTS); });
}

// The focused element in the active windows of an application, or nothing.
AtspiAccessible* focusedInActiveWindows(AtspiAccessible* app, int maxNodes = kWalkMaxNodes,
                                        std::chrono::steady_clock::duration budget = kWalkBudget) {
    GError* error = nullptr;
    const gint windows = atspi_accessible_get_child_count(app, &error);
    if (error) {
        g_clear_error(&error);
        return nullptr;
    }
    AtspiAccessible* found = nullptr;
    for (gint w = 0; w < windows && !found; ++w) {
        AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, &error);
        if (error) g_clear_error(&error);
        if (!window) continue;
        if (hasState(window, ATSPI_STATE_ACTIVE)) found = focusedBelow(window, maxNodes, budget);
        g_object_unref(window);
    }
    return found;
}

// Chromium (and every Electron program) shows its web content only to an assistive technology
// that asks for an object's attributes, as screen readers do; any other application just answers.
void askForContent(AtspiAccessible* application) {
    if (!application) return;
    GError* error = nullptr;
    GHashTable* attributes = atspi_accessible_get_attributes(application, &error);
    if (error) g_clear_error(&error);
    if (attributes) g_hash_table_unref(attributes);
}

AtspiAccessible* applicationOf(AtspiAccessible* object) {
    GError* error = nullptr;
    AtspiAccessible* app = atspi_accessible_get_application(object, &error);
    if (error) g_clear_error(&error);
    return app;
}

// A call that timed out (libatspi's "timeout from dbind", D-Bus NoReply), as opposed to one about
// an object that is gone.
bool isNoReply(const GError* error) {
    return error && error->message &&
           (std::strstr(error->message, "timeout") || std::strstr(error->message, "Timeout") ||
            std::strstr(error->message, "Did not receive a reply") || std::strstr(error->message, "NoReply") ||
            std::strstr(error->message, "timed out"));
}

// The element, or one of its nearest ancestors, that has the focus: a caret moves in a paragraph
// of a rich editor while the focus is on the editor.
AtspiAccessible* focusedAround(AtspiAccessible* source) {
    AtspiAccessible* node = static_cast<AtspiAccessible*>(g_object_ref(source));
    for (int up = 0; node && up < 4; ++up) {
        if (hasState(node, ATSPI_STATE_FOCUSED)) return node;
        GError* error = nullptr;
        AtspiAccessible* parent = atspi_accessible_get_parent(node, &error);
        if (error) g_clear_error(&error);
        g_object_unref(node);
        node = parent;
    }
    if (node) g_object_unref(node);
    return nullptr;
}

// The element is no longer in its application (asked again, not taken from the cache): unknown to
// it, or kept only as a defunct shell (Firefox).
bool isGone(AtspiAccessible* object) {
    atspi_accessible_clear_cache(object);
    GError* error = nullptr;
    atspi_accessible_get_role(object, &error);
    const bool unknown = error && !isNoReply(error);
    g_clear_error(&error);
    return unknown || hasState(object, ATSPI_STATE_DEFUNCT);
}

bool sameApplication(AtspiAccessible* a, AtspiAccessible* b) {
    return a && b && a->parent.app && a->parent.app == b->parent.app;
}

// `node` is `root` or lies below it: a rich editor tells of edits on its paragraphs.
bool within(AtspiAccessible* node, AtspiAccessible* root) {
    if (!node || !root) return false;
    AtspiAccessible* at = static_cast<AtspiAccessible*>(g_object_ref(node));
    bool found = false;
    for (int up = 0; at && up <= kSubtreeMaxDepth && !found; ++up) {
        if (at == root) {
            found = true;
            break;
        }
        GError* error = nullptr;
        AtspiAccessible* parent = atspi_accessible_get_parent(at, &error);
        g_clear_error(&error);
        g_object_unref(at);
        at = parent;
    }
    if (at) g_object_unref(at);
    return found;
}

// Where a field is known by: its application's bus name and its object path, neither reused soon.
std::string identity(AtspiAccessible* object) {
    const char* bus = object->parent.app && object->parent.app->bus_name ? object->parent.app->bus_name : "";
    const char* path = object->parent.path ? object->parent.path : "";
    return std::string(bus) + " " + path;
}

void destroySource(GSource*& source) {
    if (!source) return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}

}  // namespace

AtspiFocusTracker::AtspiFocusTracker() = default;

AtspiFocusTracker::~AtspiFocusTracker() { stop(); }

bool AtspiFocusTracker::start(GMainContext* context) {
    // Without an accessibility bus nothing else is tried.
    if (!atspiConnected()) return false;
    context_ = context;
    atspi_set_main_context(context);
    atspi_set_timeout(queryTimeoutMs, -1);
    subscription_ = AtspiEvents::subscribe(kEvents, [this](const AtspiEvent& event) { onEvent(event); });
    // What had focus before we listened: the active windows are searched, and every application is
    // asked once for its content.
    if (AtspiAccessible* desktop = atspi_get_desktop(0)) {
        GError* error = nullptr;
        const gint apps = atspi_accessible_get_child_count(desktop, &error);
        if (error) g_clear_error(&error);
        for (gint a = 0; a < apps; ++a) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, &error);
            if (error) g_clear_error(&error);
            if (!app) continue;
            askForContent(app);
            if (app->parent.app && app->parent.app->bus_name) asked_.insert(app->parent.app->bus_name);
            if (!focused_) {
                if (AtspiAccessible* found = focusedInActiveWindows(app)) {
                    setFocused(found);
                    g_object_unref(found);
                }
            }
            g_object_unref(app);
        }
        lastApplications_ = apps;
        g_object_unref(desktop);
    }
    applicationsWatch_ = g_timeout_source_new(static_cast<guint>(applicationsPeriod.count()));
    g_source_set_callback(applicationsWatch_, onApplicationsPeriod, this, nullptr);
    g_source_attach(applicationsWatch_, context_);
    readNow();
    return true;
}

gboolean AtspiFocusTracker::onApplicationsPeriod(gpointer data) {
    static_cast<AtspiFocusTracker*>(data)->askNewApplications();
    return G_SOURCE_CONTINUE;
}

// An application that started after us, and was already active when its bridge came up, sends no
// window activation: it is noticed by the desktop's count of applications.
void AtspiFocusTracker::askNewApplications() {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return;
    GError* error = nullptr;
    const gint apps = atspi_accessible_get_child_count(desktop, &error);
    if (error) g_clear_error(&error);
    if (apps != lastApplications_) {
        lastApplications_ = apps;
        for (gint a = 0; a < apps; ++a) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, &error);
            if (error) g_clear_error(&error);
            if (!app) continue;
            if (app->parent.app && app->parent.app->bus_name && asked_.insert(app->parent.app->bus_name).second)
                askForContent(app);
            g_object_unref(app);
        }
    }
    if (!focused_) findFocusInSilentApplications(desktop, apps);
    g_object_unref(desktop);
}

bool AtspiFocusTracker::heardFrom(AtspiAccessible* object) const {
    return object && object->parent.app && object->parent.app->bus_name &&
           heard_.count(object->parent.app->bus_name) > 0;
}

// Nothing has focus as far as events tell: an application that never sends any may hold it.
void AtspiFocusTracker::findFocusInSilentApplications(AtspiAccessible* desktop, gint apps) {
    for (gint a = 0; a < apps && !focused_; ++a) {
        GError* error = nullptr;
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, &error);
        if (error) g_clear_error(&error);
        if (!app) continue;
        if (!heardFrom(app)) {
            if (AtspiAccessible* found = focusedInActiveWindows(app, kActivationMaxNodes, kActivationBudget)) {
                setFocused(found);
                g_object_unref(found);
                readNow();
            }
        }
        g_object_unref(app);
    }
}

void AtspiFocusTracker::stop() {
    cancelTimers();
    destroySource(applicationsWatch_);
    if (subscription_) AtspiEvents::unsubscribe(subscription_);
    subscription_ = 0;
    setFocused(nullptr);
    if (previousSecret_) g_object_unref(previousSecret_);
    previousSecret_ = nullptr;
    context_ = nullptr;
    publish(std::nullopt);
}

AtspiFocusTracker::Published AtspiFocusTracker::latest() const {
    std::lock_guard lock(mutex_);
    return published_;
}

void AtspiFocusTracker::onEvent(const AtspiEvent& event) {
    const std::string type = event.type ? event.type : "";
    if (!event.source) return;
    if (event.source->parent.app && event.source->parent.app->bus_name)
        heard_.insert(event.source->parent.app->bus_name);
    if (type.rfind("object:state-changed:focused", 0) == 0)
        focusChanged(event.source, event.detail1 != 0);
    else if (type.rfind("window:activate", 0) == 0)
        windowActivated(event.source);
    else
        edited(event.source, type.rfind("object:text-caret-moved", 0) == 0);
}

void AtspiFocusTracker::focusChanged(AtspiAccessible* source, bool gained) {
    if (gained) {
        if (source == focused_) return;
        setFocused(source);
    } else {
        if (source != focused_) return;
        setFocused(nullptr);
    }
    readNow();
}

// Text, caret and selection changes anywhere in the focused element's application: a rich editor
// tells of them on its paragraphs, not on itself.
void AtspiFocusTracker::edited(AtspiAccessible* source, bool caret) {
    if (!sameApplication(source, focused_)) {
        // A caret that moves in a focused element whose focus event we missed, or could not read yet
        // (GTK 4 tells of the focus before the element can be asked anything).
        if (caret) {
            if (AtspiAccessible* found = focusedAround(source)) {
                setFocused(found);
                g_object_unref(found);
                readNow();
            }
        }
        return;
    }
    // Only the focused element's own edits count; the rest of its application (a page loading, a
    // log scrolling) says nothing about what is typed.
    if (!within(source, focused_)) return;
    if (!editsHeard_) {
        editsHeard_ = true;
        destroySource(silent_);  // back on the slower period
    }
    scheduleRead();
}

bool AtspiFocusTracker::isOwn(AtspiAccessible* object) {
    GError* error = nullptr;
    const auto pid = atspi_accessible_get_process_id(object, &error);
    g_clear_error(&error);
    return static_cast<pid_t>(pid) == ::getpid();
}

void AtspiFocusTracker::windowActivated(AtspiAccessible* window) {
    AtspiAccessible* app = applicationOf(window);
    askForContent(app);
    if (app) g_object_unref(app);
    // Toolkits that tell of the window but not of the focus inside it.
    if (sameApplication(window, focused_)) return;
    if (AtspiAccessible* found = focusedBelow(window, kActivationMaxNodes, kActivationBudget)) {
        setFocused(found);
        g_object_unref(found);
        readNow();
    }
}

void AtspiFocusTracker::setFocused(AtspiAccessible* object) {
    // The agent's own windows are nothing to read, and asking them would only keep its threads busy.
    if (object && isOwn(object)) object = nullptr;
    if (object == focused_) return;
    if (object) g_object_ref(object);
    // A password field left: kept for one look at where the focus goes next.
    if (focused_ && secret_) {
        if (previousSecret_) g_object_unref(previousSecret_);
        previousSecret_ = static_cast<AtspiAccessible*>(g_object_ref(focused_));
    }
    if (focused_) g_object_unref(focused_);
    if (focusedApp_) g_object_unref(focusedApp_);
    focused_ = object;
    focusedApp_ = object ? applicationOf(object) : nullptr;
    editsHeard_ = false;
    // A field that was a password field (a "show password" toggle makes it plain) stays secret,
    // also where the toolkit shows its text by putting a new element in its place (Firefox): the
    // focus then moves to the new element while the field it left is gone.
    secret_ = object && secrets_.count(identity(object)) > 0;
    if (object && previousSecret_) {
        if (!secret_ && sameApplication(object, previousSecret_) && isGone(previousSecret_)) rememberSecret(object);
        g_object_unref(previousSecret_);
        previousSecret_ = nullptr;
    }
    learnPlace();
    cancelTimers();
}

void AtspiFocusTracker::rememberSecret(AtspiAccessible* object) {
    secret_ = true;
    if (secrets_.size() >= maxRememberedSecrets) secrets_.clear();
    secrets_.insert(identity(object));
    if (focused_ && focused_ != object) secrets_.insert(identity(focused_));
}

void AtspiFocusTracker::scheduleRead(std::chrono::milliseconds delay) {
    if (readDue_ || !context_) return;
    readDue_ = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(readDue_, onReadDue, this, nullptr);
    g_source_attach(readDue_, context_);
}

gboolean AtspiFocusTracker::onReadDue(gpointer data) {
    auto* self = static_cast<AtspiFocusTracker*>(data);
    g_source_unref(self->readDue_);
    self->readDue_ = nullptr;
    self->readNow();
    return G_SOURCE_REMOVE;
}

gboolean AtspiFocusTracker::onSilentPeriod(gpointer data) {
    auto* self = static_cast<AtspiFocusTracker*>(data);
    // A reading that lost the focused element has destroyed this source already; one that found
    // the focus again has made a new one.
    self->readNow();
    return G_SOURCE_CONTINUE;
}

void AtspiFocusTracker::cancelTimers() {
    destroySource(readDue_);
    destroySource(silent_);
}

void AtspiFocusTracker::readNow() {
    destroySource(readDue_);
    auto reading = read();
    if (unanswered_)
        scheduleRead(retryDelay);
    else
        publish(reading);
    // Read again on a period too: often while the application has not told of an edit to a field
    // one can type in, seldom once it has or when nobody types there (a page being read; that
    // reading notices an application that quit).
    if (focused_ && !silent_ && context_) {
        const bool often = !editsHeard_ && hasState(focused_, ATSPI_STATE_EDITABLE);
        silent_ = g_timeout_source_new(static_cast<guint>((often ? silentPeriod : recheckPeriod).count()));
        g_source_set_callback(silent_, onSilentPeriod, this, nullptr);
        g_source_attach(silent_, context_);
    }
}

void AtspiFocusTracker::publish(const std::optional<Reading>& reading) {
    std::lock_guard lock(mutex_);
    published_.read = reading.has_value();
    published_.reading = reading ? *reading : Reading{};
    published_.place = reading ? place_ : Place{};
}

void AtspiFocusTracker::learnPlace() {
    place_ = Place{};
    if (!focused_) return;
    GError* error = nullptr;
    if (focusedApp_) {
        place_.pid = static_cast<int>(atspi_accessible_get_process_id(focusedApp_, &error));
        g_clear_error(&error);
        if (gchar* name = atspi_accessible_get_name(focusedApp_, &error)) {
            place_.application = validUtf8(name);
            g_free(name);
        }
        g_clear_error(&error);
    }
    // The window is the last ancestor below the application: a frame, a dialog or a window.
    AtspiAccessible* node = static_cast<AtspiAccessible*>(g_object_ref(focused_));
    for (int up = 0; node && up < kWalkMaxDepth; ++up) {
        bool known = false;
        const AtspiRole role = roleOf(node, known);
        if (known && (role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_DIALOG || role == ATSPI_ROLE_WINDOW)) {
            if (gchar* title = atspi_accessible_get_name(node, &error)) {
                place_.windowTitle = validUtf8(title);
                g_free(title);
            }
            g_clear_error(&error);
            break;
        }
        AtspiAccessible* parent = atspi_accessible_get_parent(node, &error);
        g_clear_error(&error);
        g_object_unref(node);
        node = parent;
        if (node && known && role == ATSPI_ROLE_APPLICATION) break;
    }
    if (node) g_object_unref(node);
}

std::optional<AtspiFocusTracker::Reading> AtspiFocusTracker::read(bool refind) {
    unanswered_ = false;
    if (!focused_) return std::nullopt;
    AtspiAccessible* object = static_cast<AtspiAccessible*>(g_object_ref(focused_));
    // The role can change (an entry whose text is hidden becomes a password field).
    atspi_accessible_clear_cache(object);
    GError* error = nullptr;
    // Asked first because it tells a busy application from one that is gone.
    const AtspiRole role = atspi_accessible_get_role(object, &error);
    if (error && isNoReply(error)) {
        // Busy rather than gone: the reading before stands and we ask again shortly.
        g_clear_error(&error);
        g_object_unref(object);
        unanswered_ = true;
        return std::nullopt;
    }
    if (error) {
        // Gone. Its application may have quit, or replaced it without a word (Firefox rebuilds
        // fields and editors as they change): then the focus is looked for again in its windows.
        g_clear_error(&error);
        AtspiAccessible* app = focusedApp_ ? static_cast<AtspiAccessible*>(g_object_ref(focusedApp_)) : nullptr;
        if (focused_ == object) setFocused(nullptr);
        g_object_unref(object);
        if (!app) return std::nullopt;
        AtspiAccessible* again = refind ? focusedInActiveWindows(app, kActivationMaxNodes, kActivationBudget) : nullptr;
        g_object_unref(app);
        if (!again) return std::nullopt;
        setFocused(again);
        g_object_unref(again);
        return read(false);
    }
    // An application that tells of nothing does not tell when the focus moves on either.
    if (refind && !heardFrom(object) && !hasState(object, ATSPI_STATE_FOCUSED)) {
        AtspiAccessible* app = focusedApp_ ? static_cast<AtspiAccessible*>(g_object_ref(focusedApp_)) : nullptr;
        AtspiAccessible* again = app ? focusedInActiveWindows(app, kActivationMaxNodes, kActivationBudget) : nullptr;
        if (app) g_object_unref(app);
        g_object_unref(object);
        setFocused(again);
        if (!again) return std::nullopt;
        g_object_unref(again);
        return read(false);
    }
    Reading reading;
    if (secret_ || role == ATSPI_ROLE_PASSWORD_TEXT || isSecret(object)) {
        rememberSecret(object);
        g_object_unref(object);
        return reading;
    }
    // The field is the focused element when one types in it, else its editable part that holds the
    // focus or the caret (GTK 4 composite widgets put the focus on a container). Anything else, a
    // page being read, a terminal, a label, has no text to give.
    AtspiAccessible* holder = nullptr;
    if (isField(object)) {
        holder = static_cast<AtspiAccessible*>(g_object_ref(object));
    } else {
        holder = findBelow(
            object, kInnerMaxDepth, kInnerMaxNodes, std::chrono::milliseconds(500),
            [](AtspiAccessible* node) {
                if (!isField(node)) return false;
                AtspiText* text = atspi_accessible_get_text_iface(node);
                if (!text) return false;
                GError* error = nullptr;
                const gint caret = atspi_text_get_caret_offset(text, &error);
                g_clear_error(&error);
                g_object_unref(text);
                return caret >= 0 || hasState(node, ATSPI_STATE_FOCUSED);
            },
            [](AtspiAccessible*) { return false; });
    }
    if (holder && isSecret(holder)) {
        rememberSecret(holder);
        g_object_unref(holder);
        g_object_unref(object);
        return reading;
    }
    if (AtspiText* text = holder ? atspi_accessible_get_text_iface(holder) : nullptr) {
        if (auto excerpt = boundedText(text)) {
            const gint from = excerpt->start;
            const gint length = static_cast<gint>(g_utf8_strlen(excerpt->text.c_str(), -1));
            const gint selections = atspi_text_get_n_selections(text, &error);
            if (error) g_clear_error(&error);
            if (selections > 0) {
                AtspiRange* range = atspi_text_get_selection(text, 0, &error);
                if (error) g_clear_error(&error);
                if (range) {
                    const gint start = std::max(range->start_offset, from);
                    const gint end = std::min(range->end_offset, from + length);
                    if (end > start) {
                        int budget = kEmbeddedMaxObjects;
                        reading.selectedText = clampCharacters(
                            expandEmbedded(holder, characters(excerpt->text, start - from, end - from), start, 0, budget));
                    }
                    g_free(range);
                }
            }
            int budget = kEmbeddedMaxObjects;
            reading.value = clampCharacters(expandEmbedded(holder, excerpt->text, from, 0, budget));
        }
        g_object_unref(text);
    }
    if (holder) g_object_unref(holder);
    g_object_unref(object);
    return reading;
}

}  // namespace linuxplatform
