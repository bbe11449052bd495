#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// URL parsing (RFC 3986) for the few places that must decide whether a text is a URL.
struct Url {
    std::string scheme;               // as written
    std::optional<std::string> host;  // as written; nothing when the URL has none (or an empty one)
    bool hasUserInfo = false;         // an "@" ends a (possibly empty) user part before the host
    std::optional<std::string> query; // raw, without '?'

    // Nothing when the text does not parse as a URL reference.
    static std::optional<Url> parse(std::string_view text);

    struct QueryItem {
        std::string name;
        std::optional<std::string> value;  // nothing for an item without '='
    };
    // The percent-decoded query items in order ('+' is kept as is); empty without a query.
    std::vector<QueryItem> queryItems() const;
};
