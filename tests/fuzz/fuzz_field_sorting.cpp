// The field sorting over arbitrary JSON: a field is an object with a text "type", "code" and "label" (an empty label
// too), its type taken unchanged; the lists agree with those types, in the order of the properties object, and
// nothing else is offered; a lookup's text source app names the employees of any field but a USER_SELECT one.
#include "Invariant.h"
#include "settings/FieldSorting.h"

#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto properties = parsedAnswer(data, size);
    if (!properties)
        return 0;
    Json times = Json::array(), employees = Json::array(), texts = Json::array();
    // Of anything but an object fieldType knows no field, so every list stays empty.
    for (const auto& [code, field] : properties->items()) {
        const auto text = [&field](const std::string& path) {
            const Json::json_pointer pointer(path);
            return field.contains(pointer) && field[pointer].is_string()
                       ? std::optional(field[pointer].get<std::string>())
                       : std::nullopt;
        };
        const bool isField = properties->is_object() && text("/type") && text("/code") && text("/label");
        const std::string type = stampo::fieldType(*properties, code);
        require(type == (isField ? *text("/type") : ""));
        const bool lookup = field.contains("lookup");
        if (type == "DATETIME")
            times.push_back(field);
        if (type == "USER_SELECT" || ((type == "NUMBER" || type == "SINGLE_LINE_TEXT") && lookup))
            employees.push_back(field);
        if (type == "SINGLE_LINE_TEXT" && !lookup)
            texts.push_back(field);
        const bool named = isField && !code.empty() && type != "USER_SELECT";
        require(stampo::nameSourceApp(*properties, code) == (named ? text("/lookup/relatedApp/app") : std::nullopt));
    }
    require(properties->contains("gone") || stampo::fieldType(*properties, "gone").empty());
    require(stampo::splitFieldLists(*properties) ==
            Json{{"fieldIn", times}, {"fieldOut", times}, {"fieldUser", employees}});
    require(stampo::nameFieldLists(*properties) == Json{{"fieldUserDisplay", texts}});
    return 0;
}
