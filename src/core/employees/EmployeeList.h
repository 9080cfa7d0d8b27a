#pragma once

#include "kintone/Kintone.h"

#include <cstddef>
#include <optional>
#include <string>

namespace stampo {

// The employee list of the employee-selection window: a JSON array of entries with the text members "code" and
// "name", always starting with the placeholder entry. A list that cannot be built holds only the placeholder.

// {"code": "", "name": "従業員を選択"}
Kintone::Json employeePlaceholder();

// The placeholder, then every user object unchanged and in order. Users without a text "code" and a text "name"
// cannot be shown or posted, so they are left out.
Kintone::Json employeesFromUsers(const Kintone::Json& users);

// Where the records of a lookup employee field come from.
struct EmployeeLookup {
    std::string relatedApp;
    std::string filterCond;
    std::string sort;
    std::string relatedKeyField;
};

// The lookup definition of field `fieldCode` in a form's "properties" object; none when the field, its "lookup",
// "relatedApp" or one of the text members is missing or not a text.
std::optional<EmployeeLookup> employeeLookup(const Kintone::Json& properties, const std::string& fieldCode);

// The placeholder, then {"code": record[keyField].value, "name": record[displayField].value} per record. When any
// record lacks either field or its text "value", the list holds only the placeholder.
Kintone::Json employeesFromRecords(const Kintone::Json& records, const std::string& keyField,
                                   const std::string& displayField);

// The index of the last entry whose "code" is `code`; 0 (the placeholder) when none is.
std::size_t preselectedEmployee(const Kintone::Json& employees, const std::string& code);

} // namespace stampo
