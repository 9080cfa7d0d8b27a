#include "Json.h"

#include <charconv>
#include <climits>
#include <system_error>

namespace kintonesim {

Json member(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? Json() : *found;
}

std::optional<int> parseCount(const Json& value) {
    if (value.is_number_integer()) {
        const auto number = value.get<long long>();
        return number >= 0 && number <= INT_MAX ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
    }
    if (!value.is_string())
        return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    int number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc{} || stop != end || number < 0)
        return std::nullopt;
    return number;
}

std::string compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace kintonesim
