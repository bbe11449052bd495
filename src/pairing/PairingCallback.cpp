#include "pairing/PairingCallback.h"

#include "backend/Url.h"

namespace PairingCallback {

std::string redacted(const std::string& url) {
    const std::size_t q = url.find('?');
    if (q == std::string::npos) return url;
    const std::size_t hash = url.find('#', q);
    const std::size_t end = hash == std::string::npos ? url.size() : hash;
    std::string out = url.substr(0, q + 1);
    std::size_t start = q + 1;
    while (true) {
        std::size_t amp = url.find('&', start);
        if (amp == std::string::npos || amp > end) amp = end;
        const std::string item = url.substr(start, amp - start);
        const std::size_t eq = item.find('=');
        // Decode the name the way the query parser does, so "%74oken" is caught too.
        std::string name = item.substr(0, eq);
        if (auto parsed = Url::parse("x:?" + name); parsed) {
            auto items = parsed->queryItems();
            if (!items.empty()) name = items.front().name;
        }
        if (name == "token" && eq != std::string::npos)
            out += item.substr(0, eq) + "=<redacted>";
        else
            out += item;
        if (amp >= end) break;
        out += '&';
        start = amp + 1;
    }
    out += url.substr(end);
    return out;
}

}  // namespace PairingCallback
