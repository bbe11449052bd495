#pragma once

namespace platform {

// Who listens on a port of the loopback address. On a shared machine another user can hold it.
class LoopbackListeners {
public:
    virtual ~LoopbackListeners() = default;
    // True when a socket listens for 127.0.0.1 on `port` and every socket that could take such a
    // connection belongs to this user.
    virtual bool ownedBySelf(int port) = 0;
};

}  // namespace platform
