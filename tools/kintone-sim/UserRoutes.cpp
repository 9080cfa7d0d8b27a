#include "Route.h"

#include <algorithm>
#include <span>
#include <string>

namespace kintonesim {
namespace {

// kintone lists at most this many users a page.
constexpr int maxUsersSize = 100;

Answer listUsers(const Call& call) {
    const Json offsetValue = parameter(call.query, "offset");
    const Json sizeValue = parameter(call.query, "size");
    const auto offset = offsetValue.is_null() ? 0 : parseCount(offsetValue);
    const auto size = sizeValue.is_null() ? maxUsersSize : parseCount(sizeValue);
    if (!offset)
        return invalidAnswer("offset", notANumber);
    if (!size)
        return invalidAnswer("size", notANumber);
    if (*size < 1 || *size > maxUsersSize)
        return invalidAnswer("size", "sizeは1以上" + std::to_string(maxUsersSize) + "以下である必要があります。");
    const auto& users = call.data.users.get_ref<const Json::array_t&>();
    const std::size_t first = std::min<std::size_t>(*offset, users.size());
    const std::size_t count = std::min<std::size_t>(*size, users.size() - first);
    return listAnswer("users", std::span(users).subspan(first, count), compact);
}

} // namespace

std::span<const Route> userRoutes() {
    static constexpr Route routes[] = {
        {"GET", "/v1/users.json", false, listUsers},
    };
    return routes;
}

} // namespace kintonesim
