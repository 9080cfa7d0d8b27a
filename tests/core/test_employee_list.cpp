#include "employees/EmployeeList.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Json = stampo::Kintone::Json;

TEST(EmployeeList, LookupDefinitionNeedsEveryTextMember) {
    const Json usable = Json::parse(R"({"employeeNo":{"type":"NUMBER","lookup":{
        "relatedApp":{"app":"2","code":""},"relatedKeyField":"社員番号","fieldMappings":[],
        "filterCond":"社員番号 > 1001","sort":"社員番号 desc"}}})");
    const auto lookup = stampo::employeeLookup(usable, "employeeNo");
    ASSERT_TRUE(lookup);
    EXPECT_EQ(std::vector<std::string>({lookup->relatedApp, lookup->filterCond, lookup->sort, lookup->relatedKeyField}),
              std::vector<std::string>({"2", "社員番号 > 1001", "社員番号 desc", "社員番号"}));
    // A member of the lookup replaced (a discarded value removes it); only an empty text still counts.
    const Json removed = Json::value_t::discarded;
    const std::tuple<std::string, Json, bool> cases[] = {{"/sort", "", true},
                                                         {"", nullptr, false},
                                                         {"/relatedApp", "2", false},
                                                         {"/relatedApp/app", 2, false},
                                                         {"/filterCond", removed, false},
                                                         {"/sort", Json::array(), false},
                                                         {"/relatedKeyField", nullptr, false}};
    for (const auto& [path, replacement, usableStill] : cases) {
        Json properties = usable;
        const Json::json_pointer pointer("/employeeNo/lookup" + path);
        if (replacement.is_discarded())
            properties[pointer.parent_pointer()].erase(pointer.back());
        else
            properties[pointer] = replacement;
        EXPECT_EQ(stampo::employeeLookup(properties, "employeeNo").has_value(), usableStill) << path << replacement;
    }
    EXPECT_FALSE(stampo::employeeLookup(usable, "employee")) << "no such field";
}

// Which users and records make a list, and the preselection of every code in one, are checked by fuzz_employee_list
// over its corpus; these are what it does not try: the placeholder's text, and codes that no entry has as a text.
TEST(EmployeeList, ThePlaceholderIsPreselectedWhenNoEntryHasTheCodeAsAText) {
    EXPECT_EQ(stampo::employeePlaceholder().dump(), R"({"code":"","name":"従業員を選択"})");
    const Json list = Json::parse(R"([{"code":"","name":""},{"code":"a","name":"A"},{"code":7,"name":"number"}])");
    for (const char* code : {"gone", "7"})
        EXPECT_EQ(stampo::preselectedEmployee(list, code), 0u) << code;
    EXPECT_EQ(stampo::preselectedEmployee(nullptr, "a"), 0u);
}

} // namespace
