#include "platform/linux/wayland/SwayIpcProtocol.h"

#include <cstring>

namespace linuxplatform::swayipc {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 * sizeof(std::uint32_t);

int intOf(const nlohmann::json& node, const char* key) {
    const auto it = node.find(key);
    if (it == node.end() || !it->is_number()) return 0;
    return it->get<int>();
}

std::string stringOf(const nlohmann::json& node, const char* key) {
    const auto it = node.find(key);
    return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool boolOf(const nlohmann::json& node, const char* key, bool fallback) {
    const auto it = node.find(key);
    return it != node.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

std::string appIdOf(const nlohmann::json& node) {
    if (const auto it = node.find("app_id"); it != node.end() && it->is_string()) return it->get<std::string>();
    if (const auto props = node.find("window_properties"); props != node.end() && props->is_object()) {
        if (const auto cls = props->find("class"); cls != props->end() && cls->is_string()) return cls->get<std::string>();
    }
    return {};
}

// A view is a container that shows a client: it has a pid, or an app_id or X11 properties.
bool isView(const nlohmann::json& node) {
    return node.contains("pid") || node.contains("app_id") || node.contains("window_properties");
}

void collect(const nlohmann::json& node, bool shown, std::vector<CompositorWindow>& out) {
    if (!node.is_object()) return;
    const bool children = (node.contains("nodes") && !node["nodes"].empty()) ||
                          (node.contains("floating_nodes") && !node["floating_nodes"].empty());
    if (!children && isView(node)) {
        CompositorWindow w;
        if (const auto id = node.find("id"); id != node.end() && id->is_number_integer() && id->get<std::int64_t>() >= 0)
            w.id = id->get<std::uint64_t>();
        if (const auto pid = node.find("pid"); pid != node.end() && pid->is_number_integer() && pid->get<int>() > 0)
            w.pid = pid->get<int>();
        w.appId = appIdOf(node);
        if (const auto name = node.find("name"); name != node.end() && name->is_string()) w.title = name->get<std::string>();
        if (const auto rect = node.find("rect"); rect != node.end() && rect->is_object())
            w.frame = {intOf(*rect, "x"), intOf(*rect, "y"), intOf(*rect, "width"), intOf(*rect, "height")};
        w.focused = boolOf(node, "focused", false);
        // Sway says whether a view is shown; where it does not, the view's workspace decides.
        w.visible = shown && boolOf(node, "visible", shown);
        out.push_back(std::move(w));
        return;
    }
    for (const char* key : {"nodes", "floating_nodes"}) {
        const auto list = node.find(key);
        if (list == node.end() || !list->is_array()) continue;
        for (const auto& child : *list) collect(child, shown, out);
    }
}

}  // namespace

std::string encode(std::uint32_t type, std::string_view payload) {
    std::string out(kMagic, sizeof kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
    out.append(reinterpret_cast<const char*>(&type), sizeof type);
    out.append(payload);
    return out;
}

std::optional<Message> MessageReader::next() {
    if (broken_ || buffer_.size() < kHeaderSize) return std::nullopt;
    if (std::memcmp(buffer_.data(), kMagic, sizeof kMagic) != 0) {
        broken_ = true;
        return std::nullopt;
    }
    std::uint32_t length = 0, type = 0;
    std::memcpy(&length, buffer_.data() + sizeof kMagic, sizeof length);
    std::memcpy(&type, buffer_.data() + sizeof kMagic + sizeof length, sizeof type);
    if (length > maxPayload) {
        broken_ = true;
        return std::nullopt;
    }
    if (buffer_.size() < kHeaderSize + length) return std::nullopt;
    Message m{type, buffer_.substr(kHeaderSize, length)};
    buffer_.erase(0, kHeaderSize + length);
    return m;
}

std::vector<CompositorWindow> windowsOfTree(const nlohmann::json& tree) {
    std::vector<CompositorWindow> out;
    if (!tree.is_object()) return out;
    const auto outputs = tree.find("nodes");
    if (outputs == tree.end() || !outputs->is_array()) return out;
    for (const auto& output : *outputs) {
        if (!output.is_object()) continue;
        // "__i3" holds the scratchpad: windows put away, shown nowhere.
        const bool scratchpad = stringOf(output, "name") == "__i3";
        const std::string current = stringOf(output, "current_workspace");
        const auto workspaces = output.find("nodes");
        if (workspaces == output.end() || !workspaces->is_array()) continue;
        for (const auto& workspace : *workspaces) {
            if (!workspace.is_object()) continue;
            const bool shown = !scratchpad && (current.empty() || stringOf(workspace, "name") == current);
            collect(workspace, shown, out);
        }
    }
    return out;
}

}  // namespace linuxplatform::swayipc
