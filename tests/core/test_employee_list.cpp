#include "employees/EmployeeList.h"

#include <gtest/gtest.h>

namespace {

using Json = stampo::Kintone::Json;

// Which users and records make a list, the preselection of every code in one, and which lookup definitions count are
// checked by fuzz_employee_list over its corpus, the placeholder's text by the employee window's tests; these are what
// neither tries: codes that no entry has as a text.
TEST(EmployeeList, ThePlaceholderIsPreselectedWhenNoEntryHasTheCodeAsAText) {
    const Json list = Json::parse(R"([{"code":"","name":""},{"code":"a","name":"A"},{"code":7,"name":"number"}])");
    for (const char* code : {"gone", "7"})
        EXPECT_EQ(stampo::preselectedEmployee(list, code), 0u) << code;
    EXPECT_EQ(stampo::preselectedEmployee(nullptr, "a"), 0u);
}

} // namespace
