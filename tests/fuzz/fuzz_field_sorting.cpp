// The field sorting over arbitrary JSON: the lists agree with what fieldType says of each field, in the order of
// the properties object, and nothing else is offered.
#include "Invariant.h"
#include "settings/FieldSorting.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto properties = parsedAnswer(data, size);
    if (!properties)
        return 0;
    Json times = Json::array(), employees = Json::array(), texts = Json::array();
    // Of anything but an object fieldType knows no field, so every list stays empty.
    for (const auto& [code, field] : properties->items()) {
        const std::string type = stampo::fieldType(*properties, code);
        const bool lookup = field.contains("lookup");
        if (type == "DATETIME")
            times.push_back(field);
        if (type == "USER_SELECT" || ((type == "NUMBER" || type == "SINGLE_LINE_TEXT") && lookup))
            employees.push_back(field);
        if (type == "SINGLE_LINE_TEXT" && !lookup)
            texts.push_back(field);
        if (stampo::nameSourceApp(*properties, code))
            require(!type.empty() && type != "USER_SELECT" && lookup);
    }
    require(stampo::splitFieldLists(*properties) ==
            Json{{"fieldIn", times}, {"fieldOut", times}, {"fieldUser", employees}});
    require(stampo::nameFieldLists(*properties) == Json{{"fieldUserDisplay", texts}});
    return 0;
}
