#include "settings/FieldSorting.h"

#include "settings/SettingsKeys.h"

namespace stampo {
namespace {

using Json = Kintone::Json;

bool hasText(const Json& object, const std::string& key) {
    const Json* value = member(object, key);
    return value && value->is_string();
}

// A field property object as kintone sends it; anything else cannot be shown or stored.
bool isField(const Json& object) {
    return hasText(object, "type") && hasText(object, "code") && hasText(object, "label");
}

const std::string& typeOf(const Json& field) {
    return field["type"].get_ref<const std::string&>();
}

// A lookup counts by the presence of its member alone, whatever it holds.
bool isLookup(const Json& field) {
    return member(field, "lookup") != nullptr;
}

const Json* fieldFor(const Json& properties, const std::string& code) {
    const Json* field = member(properties, code);
    return field && isField(*field) ? field : nullptr;
}

// Calls `visit` with every usable field, in the order of the properties object.
template <typename Visit> void forEachField(const Json& properties, Visit visit) {
    if (!properties.is_object())
        return;
    for (const Json& field : properties)
        if (isField(field))
            visit(field, typeOf(field));
}

} // namespace

Json splitFieldLists(const Json& properties) {
    Json start = Json::array();
    Json end = Json::array();
    Json employee = Json::array();
    forEachField(properties, [&](const Json& field, const std::string& type) {
        if (type == "DATETIME") {
            start.push_back(field);
            end.push_back(field);
        } else if (type == "USER_SELECT" || ((type == "NUMBER" || type == "SINGLE_LINE_TEXT") && isLookup(field))) {
            employee.push_back(field);
        }
    });
    return Json{{SettingsKeys::fieldIn, std::move(start)},
                {SettingsKeys::fieldOut, std::move(end)},
                {SettingsKeys::fieldUser, std::move(employee)}};
}

Json nameFieldLists(const Json& relatedProperties) {
    Json names = Json::array();
    forEachField(relatedProperties, [&](const Json& field, const std::string& type) {
        if (type == "SINGLE_LINE_TEXT" && !isLookup(field))
            names.push_back(field);
    });
    return Json{{SettingsKeys::fieldUserDisplay, std::move(names)}};
}

std::optional<std::string> nameSourceApp(const Json& properties, const std::string& fieldCode) {
    if (fieldCode.empty())
        return std::nullopt;
    const Json* field = fieldFor(properties, fieldCode);
    if (!field || typeOf(*field) == "USER_SELECT")
        return std::nullopt;
    const Json* lookup = member(*field, "lookup");
    const Json* relatedApp = lookup ? member(*lookup, "relatedApp") : nullptr;
    if (!relatedApp || !hasText(*relatedApp, "app"))
        return std::nullopt;
    return (*relatedApp)["app"].get<std::string>();
}

std::string fieldType(const Json& properties, const std::string& fieldCode) {
    const Json* field = fieldFor(properties, fieldCode);
    return field ? typeOf(*field) : std::string();
}

} // namespace stampo
