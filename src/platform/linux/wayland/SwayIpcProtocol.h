#pragma once
// The i3/sway IPC protocol as far as the agent speaks it: the framing of messages and the reading
// of the layout tree into windows. Pure, so it is tested without a compositor.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/wayland/CompositorWindows.h"

namespace linuxplatform::swayipc {

constexpr std::uint32_t kSubscribe = 2;
constexpr std::uint32_t kGetTree = 4;
constexpr std::uint32_t kGetVersion = 7;
// Events carry the high bit in their type; the rest names the event (3 window, 0 workspace).
constexpr std::uint32_t kEventBit = 0x80000000u;

struct Message {
    std::uint32_t type = 0;
    std::string payload;
    bool isEvent() const { return (type & kEventBit) != 0; }
};

// "i3-ipc", the payload's length and the type (both in the host's byte order), then the payload.
std::string encode(std::uint32_t type, std::string_view payload = {});

// Collects bytes as they arrive and hands out whole messages.
class MessageReader {
public:
    // A payload larger than this is taken for a broken stream.
    static constexpr std::uint32_t maxPayload = 64u << 20;

    void feed(const char* data, std::size_t size) { buffer_.append(data, size); }
    // The next whole message, or nothing while one is incomplete or the stream is broken.
    std::optional<Message> next();
    // The stream does not follow the protocol; nothing more can be read from it.
    bool broken() const { return broken_; }
    // Bytes have come that no message handed out so far holds.
    bool pending() const { return !buffer_.empty(); }

private:
    std::string buffer_;
    bool broken_ = false;
};

// The windows of a GET_TREE reply: every view on an output, tiled ones before floating ones (which
// lie above them), with the compositor's pid, app_id (or the X11 class of an Xwayland window), frame,
// focus and visibility. Windows in the scratchpad are not visible.
std::vector<CompositorWindow> windowsOfTree(const nlohmann::json& tree);

}  // namespace linuxplatform::swayipc
