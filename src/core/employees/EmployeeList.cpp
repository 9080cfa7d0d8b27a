#include "employees/EmployeeList.h"

namespace stampo {
namespace {

using Json = Kintone::Json;

// The member `key` of `object`, or null where `object` is null too: for chains of look-ups.
const Json* member(const Json* object, const std::string& key) {
    return object ? stampo::member(*object, key) : nullptr;
}

// The text member `key` of `object`; none when `object` is null or no object, or the member is missing or no text.
std::optional<std::string> textMember(const Json* object, const std::string& key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
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
        if (textMember(&user, "code") && textMember(&user, "name"))
            employees.push_back(user);
    return employees;
}

std::optional<EmployeeLookup> employeeLookup(const Json& properties, const std::string& fieldCode) {
    const Json* lookup = member(member(&properties, fieldCode), "lookup");
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
        auto code = textMember(member(&record, keyField), "value");
        auto name = textMember(member(&record, displayField), "value");
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
        if (textMember(&employees[i], "code") == code)
            selected = i;
    return selected;
}

} // namespace stampo
