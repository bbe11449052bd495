#pragma once
// Who listens on a loopback port, from the kernel's socket tables (/proc/net/tcp and tcp6).
#include <string>
#include <vector>

#include "platform/LoopbackListeners.h"

namespace linuxplatform {

class ProcNetListeners final : public platform::LoopbackListeners {
public:
    bool ownedBySelf(int port) override;

    // The owners of the listening sockets in one table (the text of /proc/net/tcp or tcp6) that a
    // connection to 127.0.0.1:port could reach: 127.0.0.1 itself, 0.0.0.0, and in tcp6 the
    // v4-mapped ::ffff:127.0.0.1 and the wildcard ::.
    static std::vector<unsigned> listenerUids(const std::string& table, int port);
};

}  // namespace linuxplatform
