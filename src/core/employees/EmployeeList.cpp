#include "employees/EmployeeList.h"

namespace stampo {
namespace {

using Json = Kintone::Json;

// The text member `key` of `object`; none when `object` is no object or the member is missing or not a text.
std::optional<std::string> textMember(const Json& object, const std::string& key) {
    if (!object.is_object())
        return std::nullopt;
    const auto member = object.find(key);
    if (member == object.end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}

// The member `key` of `object`, or null when there is none.
const Json& member(const Json& object, const std::string& key) {
    static const Json none;
    if (!object.is_object())
        return none;
    const auto found = object.find(key);
    return found == object.end() ? none : *found;
}

} // namespace

Json employeePlaceholder() {
    return Json{{"code", ""}, {"name", "従業員を選択"}};
}

Json employeesFromUsers(const Json& users) {
    Json employees = Json::array({employeePlaceholder()});
    if (!users.is_array())
        return employees;
    for (const Json& user : users)
        if (textMember(user, "code") && textMember(user, "name"))
            employees.push_back(user);
    return employees;
}

std::optional<EmployeeLookup> employeeLookup(const Json& properties, const std::string& fieldCode) {
    const Json& lookup = member(member(properties, fieldCode), "lookup");
    auto relatedApp = textMember(member(lookup, "relatedApp"), "app");
    auto filterCond = textMember(lookup, "filterCond");
    auto sort = textMember(lookup, "sort");
    auto relatedKeyField = textMember(lookup, "relatedKeyField");
    if (!relatedApp || !filterCond || !sort || !relatedKeyField)
        return std::nullopt;
    return EmployeeLookup{std::move(*relatedApp), std::move(*filterCond), std::move(*sort),
                          std::move(*relatedKeyField)};
}

Json employeesFromRecords(const Json& records, const std::string& keyField, const std::string& displayField) {
    Json employees = Json::array({employeePlaceholder()});
    if (!records.is_array())
        return employees;
    for (const Json& record : records) {
        auto code = textMember(member(record, keyField), "value");
        auto name = textMember(member(record, displayField), "value");
        if (!code || !name)
            return Json::array({employeePlaceholder()});
        employees.push_back(Json{{"code", std::move(*code)}, {"name", std::move(*name)}});
    }
    return employees;
}

std::size_t preselectedEmployee(const Json& employees, const std::string& code) {
    std::size_t selected = 0;
    if (!employees.is_array())
        return selected;
    for (std::size_t i = 0; i < employees.size(); ++i)
        if (textMember(employees[i], "code") == code)
            selected = i;
    return selected;
}

} // namespace stampo
