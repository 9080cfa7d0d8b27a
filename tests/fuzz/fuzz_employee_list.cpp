// The employee-list building over arbitrary JSON, taken as users, as records and as a form's properties: every list
// starts with the placeholder and holds only entries with a text code and name (the users that have them, whole and
// in order; of records, all or none); preselection finds the last match.
#include "Invariant.h"
#include "employees/EmployeeList.h"

#include <string>
#include <vector>

namespace {

// A list as the window shows it, and every code in it preselecting its last entry.
void checkList(const Json& employees, std::size_t most) {
    require(employees.is_array() && !employees.empty() && employees.size() <= most);
    require(employees[0] == stampo::employeePlaceholder());
    for (std::size_t i = 0; i < employees.size(); ++i) {
        const Json& entry = employees[i];
        require(entry.is_object() && entry.value("code", Json()).is_string() &&
                entry.value("name", Json()).is_string());
        const std::size_t selected = stampo::preselectedEmployee(employees, entry["code"]);
        require(selected >= i && employees[selected]["code"] == entry["code"]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto json = parsedAnswer(data, size);
    if (!json)
        return 0;
    const std::size_t items = json->is_array() ? json->size() : 0;
    Json users = Json::array({stampo::employeePlaceholder()});
    for (const Json& user : json->is_array() ? *json : Json::array())
        if (user.is_object() && user.value("code", Json()).is_string() && user.value("name", Json()).is_string())
            users.push_back(user);
    require(stampo::employeesFromUsers(*json) == users);
    checkList(users, items + 1);

    // The first record's first two fields as key and display field, as a lookup would name them.
    std::string keyField = "社員番号", displayField = "氏名";
    if (items > 0 && (*json)[0].is_object() && (*json)[0].size() >= 2) {
        auto member = (*json)[0].begin();
        keyField = member.key();
        displayField = (++member).key();
    }
    const Json fromRecords = stampo::employeesFromRecords(*json, keyField, displayField);
    checkList(fromRecords, items + 1);
    require(fromRecords.size() == 1 || fromRecords.size() == items + 1);
    for (std::size_t i = 1; i < fromRecords.size(); ++i) {
        const Json& record = (*json)[i - 1];
        require(fromRecords[i] ==
                Json{{"code", record.at(keyField).at("value")}, {"name", record.at(displayField).at("value")}});
    }

    // A field's lookup counts where each member it needs is a text (an empty one too), and holds them as they are; of
    // anything but an object, and for a field that is not there, no lookup is found.
    for (const auto& [code, field] : json->items()) {
        std::vector<std::string> members;
        for (const char* path : {"/relatedApp/app", "/filterCond", "/sort", "/relatedKeyField"}) {
            const Json::json_pointer pointer(std::string("/lookup") + path);
            if (json->is_object() && field.contains(pointer) && field[pointer].is_string())
                members.push_back(field[pointer]);
        }
        const auto lookup = stampo::employeeLookup(*json, code);
        require(lookup ? members ==
                             std::vector{lookup->relatedApp, lookup->filterCond, lookup->sort, lookup->relatedKeyField}
                       : members.size() < 4);
    }
    require(json->contains("missing") || !stampo::employeeLookup(*json, "missing"));
    return 0;
}
