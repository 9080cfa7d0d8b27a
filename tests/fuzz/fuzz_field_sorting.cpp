// The field sorting over arbitrary JSON: the lists agree with what fieldType says of each field, in the order of
// the properties object, and nothing else is offered.
#include "Invariant.h"
#include "settings/FieldSorting.h"

#include <cstdint>

namespace {

using stampo::Kintone;
using Json = Kintone::Json;

bool isLookup(const Json& field) {
    return field.contains("lookup");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // JSON as the client hands it on, parsed from a kintone answer.
    const auto parsed = Kintone::parseAnswer({reinterpret_cast<const char*>(data), size});
    if (!parsed)
        return 0;
    const Json& properties = *parsed;
    const Json split = stampo::splitFieldLists(properties);
    const Json names = stampo::nameFieldLists(properties);

    Json times = Json::array();
    Json employees = Json::array();
    Json texts = Json::array();
    if (properties.is_object()) {
        for (const auto& [code, field] : properties.items()) {
            const std::string type = stampo::fieldType(properties, code);
            if (type == "DATETIME")
                times.push_back(field);
            if (type == "USER_SELECT" || ((type == "NUMBER" || type == "SINGLE_LINE_TEXT") && isLookup(field)))
                employees.push_back(field);
            if (type == "SINGLE_LINE_TEXT" && !isLookup(field))
                texts.push_back(field);
            if (stampo::nameSourceApp(properties, code))
                require(!type.empty() && type != "USER_SELECT" && isLookup(field));
        }
    }
    require(split == Json{{"fieldIn", times}, {"fieldOut", times}, {"fieldUser", employees}});
    require(names == Json{{"fieldUserDisplay", texts}});
    return 0;
}
