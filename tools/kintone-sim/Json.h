#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace kintonesim {

using Json = nlohmann::ordered_json;

// The member of that name; null when `object` has none or is no object.
Json member(const Json& object, const char* name);
// A non-negative integer given as a JSON number or as decimal text, the two ways kintone takes ids and sizes.
std::optional<int> parseCount(const Json& value);
// The text kintone sends: no spaces, invalid UTF-8 replaced.
std::string compact(const Json& value);

} // namespace kintonesim
