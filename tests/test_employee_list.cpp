#include "attend/EmployeeList.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using stampo::EmployeeLookup;
using Json = stampo::Kintone::Json;

Json placeholderOnly() {
    return Json::parse(R"([{"code":"","name":"従業員を選択"}])");
}

TEST(EmployeeList, PlaceholderHasEmptyCodeAndPrompt) {
    EXPECT_EQ(stampo::employeePlaceholder().dump(), R"({"code":"","name":"従業員を選択"})");
}

TEST(EmployeeList, UsersFollowThePlaceholderWholeAndInOrder) {
    struct Case {
        const char* what;
        const char* users;
        const char* expectedAfterPlaceholder;
    };
    const Case cases[] = {
        {"no users", "[]", "[]"},
        {"users keep every member and their order",
         R"([{"id":"7","code":"b","name":"B","email":"b@x"},{"id":"3","code":"a","name":"A"}])",
         R"([{"id":"7","code":"b","name":"B","email":"b@x"},{"id":"3","code":"a","name":"A"}])"},
        {"duplicates stay", R"([{"code":"a","name":"A"},{"code":"a","name":"A2"}])",
         R"([{"code":"a","name":"A"},{"code":"a","name":"A2"}])"},
        {"a user without text code or name is left out",
         R"([{"code":1,"name":"N"},{"code":"a"},{"name":"B"},{"code":"c","name":null},{"code":"d","name":"D"}])",
         R"([{"code":"d","name":"D"}])"},
        {"elements that are not objects are left out", R"([null,"a",3,[],{"code":"e","name":"E"}])",
         R"([{"code":"e","name":"E"}])"},
        {"not an array", R"({"users":[{"code":"a","name":"A"}]})", "[]"},
        {"null", "null", "[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Json expected = placeholderOnly();
        for (const Json& user : Json::parse(c.expectedAfterPlaceholder))
            expected.push_back(user);
        EXPECT_EQ(stampo::employeesFromUsers(Json::parse(c.users)).dump(), expected.dump());
    }
}

TEST(EmployeeList, LookupDefinitionNeedsEveryTextMember) {
    const Json usable = Json::parse(R"({"employeeNo":{"type":"NUMBER","lookup":{
        "relatedApp":{"app":"2","code":""},"relatedKeyField":"社員番号","fieldMappings":[],
        "filterCond":"社員番号 > 1001","sort":"社員番号 desc"}}})");
    struct Case {
        const char* what;
        std::string pointer; // a member of `usable` to change ("" changes nothing)
        Json replacement;    // discarded: the member is removed
        std::optional<EmployeeLookup> expected;
    };
    const Json removed = Json::value_t::discarded;
    const std::vector<Case> cases = {
        {"usable", "", removed, EmployeeLookup{"2", "社員番号 > 1001", "社員番号 desc", "社員番号"}},
        {"an empty sort is a text", "/employeeNo/lookup/sort", "",
         EmployeeLookup{"2", "社員番号 > 1001", "", "社員番号"}},
        {"field missing", "/employeeNo", removed, std::nullopt},
        {"field not an object", "/employeeNo", "lookup", std::nullopt},
        {"no lookup", "/employeeNo/lookup", removed, std::nullopt},
        {"lookup null", "/employeeNo/lookup", nullptr, std::nullopt},
        {"no relatedApp", "/employeeNo/lookup/relatedApp", removed, std::nullopt},
        {"relatedApp not an object", "/employeeNo/lookup/relatedApp", "2", std::nullopt},
        {"app missing", "/employeeNo/lookup/relatedApp/app", removed, std::nullopt},
        {"app a number", "/employeeNo/lookup/relatedApp/app", 2, std::nullopt},
        {"filterCond missing", "/employeeNo/lookup/filterCond", removed, std::nullopt},
        {"sort not a text", "/employeeNo/lookup/sort", Json::array(), std::nullopt},
        {"relatedKeyField missing", "/employeeNo/lookup/relatedKeyField", removed, std::nullopt},
        {"relatedKeyField null", "/employeeNo/lookup/relatedKeyField", nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Json properties = usable;
        if (!c.pointer.empty()) {
            const Json::json_pointer pointer(c.pointer);
            if (c.replacement.is_discarded())
                properties[pointer.parent_pointer()].erase(pointer.back());
            else
                properties[pointer] = c.replacement;
        }
        const auto lookup = stampo::employeeLookup(properties, "employeeNo");
        ASSERT_EQ(lookup.has_value(), c.expected.has_value());
        if (lookup) {
            EXPECT_EQ(lookup->relatedApp, c.expected->relatedApp);
            EXPECT_EQ(lookup->filterCond, c.expected->filterCond);
            EXPECT_EQ(lookup->sort, c.expected->sort);
            EXPECT_EQ(lookup->relatedKeyField, c.expected->relatedKeyField);
        }
    }
    EXPECT_FALSE(stampo::employeeLookup(usable, "employee"));
    EXPECT_FALSE(stampo::employeeLookup(Json::array({usable}), "employeeNo"));
    EXPECT_FALSE(stampo::employeeLookup(nullptr, "employeeNo"));
}

TEST(EmployeeList, RecordsBecomeCodeAndNameEntriesOrPlaceholderOnly) {
    const char* good = R"({"$id":{"value":"1"},"no":{"value":"1002"},"氏名":{"value":"鈴木 一郎"}})";
    struct Case {
        const char* what;
        std::string records;
        const char* displayField;
        const char* expected;
    };
    const Case cases[] = {
        {"records in order, only code and name",
         std::string("[") + good + R"(,{"no":{"value":"1001"},"氏名":{"value":"佐藤"}}])", "氏名",
         R"([{"code":"","name":"従業員を選択"},{"code":"1002","name":"鈴木 一郎"},{"code":"1001","name":"佐藤"}])"},
        {"no records", "[]", "氏名", nullptr},
        {"display field not set", std::string("[") + good + "]", "", nullptr},
        {"a record without the key field", std::string("[") + good + R"(,{"氏名":{"value":"X"}}])", "氏名", nullptr},
        {"a record without the display field", std::string("[") + good + R"(,{"no":{"value":"9"}}])", "氏名", nullptr},
        {"a field without value", std::string("[") + good + R"(,{"no":{"type":"NUMBER"},"氏名":{"value":"X"}}])",
         "氏名", nullptr},
        {"a number value", std::string("[") + good + R"(,{"no":{"value":9},"氏名":{"value":"X"}}])", "氏名", nullptr},
        {"an array value", std::string("[") + good + R"(,{"no":{"value":"9"},"氏名":{"value":["X"]}}])", "氏名",
         nullptr},
        {"a field that is a text", std::string("[") + good + R"(,{"no":"9","氏名":{"value":"X"}}])", "氏名", nullptr},
        {"a record that is not an object", std::string("[") + good + R"(,null])", "氏名", nullptr},
        {"not an array", good, "氏名", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Json expected = c.expected ? Json::parse(c.expected) : placeholderOnly();
        EXPECT_EQ(stampo::employeesFromRecords(Json::parse(c.records), "no", c.displayField).dump(), expected.dump());
    }
}

TEST(EmployeeList, PreselectsTheLastEntryWithTheCode) {
    const Json list = Json::parse(R"([{"code":"","name":"従業員を選択"},{"code":"a","name":"A"},{"code":"b","name":"B"},
        {"code":"a","name":"A again"},{"code":7,"name":"number"},{"name":"no code"}])");
    struct Case {
        const char* code;
        std::size_t expected;
    };
    const Case cases[] = {{"b", 2}, {"a", 3}, {"gone", 0}, {"", 0}, {"7", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(stampo::preselectedEmployee(list, c.code), c.expected);
    }
    EXPECT_EQ(stampo::preselectedEmployee(Json::array(), "a"), 0u);
    EXPECT_EQ(stampo::preselectedEmployee(nullptr, "a"), 0u);
}

} // namespace
