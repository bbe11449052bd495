#include "platform/linux/net/ProcNetListeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace linuxplatform {
namespace {

constexpr const char* kListen = "0A";

// The kernel prints each 32-bit word of an address as it lies in memory, read as a host number.
std::array<std::uint32_t, 4> words(const in6_addr& a) {
    std::array<std::uint32_t, 4> out{};
    std::memcpy(out.data(), &a, sizeof a);
    return out;
}

bool parseHexWords(const std::string& hex, std::array<std::uint32_t, 4>& out, std::size_t count) {
    if (hex.size() != count * 8) return false;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t value = 0;
        for (char c : hex.substr(i * 8, 8)) {
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'A' && c <= 'F') value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else if (c >= 'a' && c <= 'f') value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else return false;
        }
        out[i] = value;
    }
    return true;
}

bool reachesLoopback(const std::string& address) {
    std::array<std::uint32_t, 4> w{};
    if (address.size() == 8) {
        if (!parseHexWords(address, w, 1)) return false;
        return w[0] == htonl(INADDR_LOOPBACK) || w[0] == htonl(INADDR_ANY);
    }
    if (!parseHexWords(address, w, 4)) return false;
    in6_addr mapped{};
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped);
    return w == words(mapped) || w == words(in6addr_any);
}

std::string slurp(const char* path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<unsigned> ProcNetListeners::listenerUids(const std::string& table, int port) {
    std::vector<unsigned> uids;
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (state != kListen) continue;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        unsigned long localPort = 0;
        try {
            localPort = std::stoul(local.substr(colon + 1), nullptr, 16);
        } catch (...) {
            continue;
        }
        if (static_cast<int>(localPort) != port || !reachesLoopback(local.substr(0, colon))) continue;
        uids.push_back(uid);
    }
    return uids;
}

bool ProcNetListeners::ownedBySelf(int port) {
    std::vector<unsigned> uids = listenerUids(slurp("/proc/net/tcp"), port);
    const auto v6 = listenerUids(slurp("/proc/net/tcp6"), port);
    uids.insert(uids.end(), v6.begin(), v6.end());
    if (uids.empty()) return false;
    for (unsigned uid : uids)
        if (uid != ::geteuid()) return false;
    return true;
}

}  // namespace linuxplatform
