#include "employees/EmployeeList.h"

#include <gtest/gtest.h>

namespace {

using Json = stampo::Kintone::Json;

// Which users and records make a list, the preselection of every code in one, and which lookup definitions count are
// checked by fuzz_employee_list over its corpus; these are what it does not try: the placeholder's text, and codes
// that no entry has as a text.
TEST(EmployeeList, ThePlaceholderIsPreselectedWhenNoEntryHasTheCodeAsAText) {
    EXPECT_EQ(stampo::employeePlaceholder().dump(), R"({"code":"","name":"従業員を選択"})");
    const Json list = Json::parse(R"([{"code":"","name":""},{"code":"a","name":"A"},{"code":7,"name":"number"}])");
    for (const char* code : {"gone", "7"})
        EXPECT_EQ(stampo::preselectedEmployee(list, code), 0u) << code;
    EXPECT_EQ(stampo::preselectedEmployee(nullptr, "a"), 0u);
}

} // namespace
