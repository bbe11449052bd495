#include "backend/Url.h"

#include <uriparser/Uri.h>

namespace {
std::string range(const UriTextRangeA& r) {
    if (!r.first || !r.afterLast) return {};
    return std::string(r.first, static_cast<std::size_t>(r.afterLast - r.first));
}
}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    UriUriA uri;
    const char* error = nullptr;
    const std::string owned(text);
    if (uriParseSingleUriExA(&uri, owned.data(), owned.data() + owned.size(), &error) != URI_SUCCESS) return std::nullopt;
    Url url;
    url.scheme = range(uri.scheme);
    if (uri.hostText.first && uri.hostText.afterLast != uri.hostText.first) url.host = range(uri.hostText);
    url.hasUserInfo = uri.userInfo.first != nullptr;
    if (uri.query.first) url.query = range(uri.query);
    uriFreeUriMembersA(&uri);
    return url;
}

std::vector<Url::QueryItem> Url::queryItems() const {
    std::vector<QueryItem> items;
    if (!query || query->empty()) return items;
    UriQueryListA* list = nullptr;
    int count = 0;
    if (uriDissectQueryMallocExA(&list, &count, query->data(), query->data() + query->size(), URI_FALSE,
                                 URI_BR_DONT_TOUCH) != URI_SUCCESS)
        return items;
    for (UriQueryListA* q = list; q; q = q->next) {
        QueryItem item;
        item.name = q->key ? q->key : "";
        if (q->value) item.value = std::string(q->value);
        items.push_back(std::move(item));
    }
    uriFreeQueryListA(list);
    return items;
}
