#include "backend/JsonRead.h"

#include <climits>
#include <cmath>

namespace JsonRead {
namespace {
const Json* find(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}
}  // namespace

std::optional<bool> boolean(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v) return std::nullopt;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) {
        const double d = v->get<double>();
        if (d == 1.0) return true;
        if (d == 0.0) return false;
    }
    return std::nullopt;
}

std::optional<long long> integer(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_number()) return std::nullopt;
    if (v->is_number_integer()) {
        if (v->is_number_unsigned() && v->get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX))
            return std::nullopt;
        return v->get<long long>();
    }
    const double d = v->get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > 9.0e18) return std::nullopt;
    return static_cast<long long>(d);
}

std::optional<std::string> string(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

Json objectOrEmpty(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_object()) return Json::object();
    return *v;
}

}  // namespace JsonRead
