#include "employees/EmployeeList.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Json = stampo::Kintone::Json;

// A list as JSON text: the placeholder followed by `entries` (the inside of an array).
std::string listOf(const std::string& entries) {
    return R"([{"code":"","name":"従業員を選択"})" + (entries.empty() ? "" : "," + entries) + "]";
}

TEST(EmployeeList, UsersFollowThePlaceholderWholeAndInOrder) {
    const std::string kept =
        R"({"id":"7","code":"b","name":"B","email":"b@x"},{"code":"a","name":"A"},{"code":"a","name":"A2"})";
    const std::pair<std::string, std::string> cases[] = {
        {"[]", ""},
        {"[" + kept + "]", kept},
        // Users without a text code and a text name, and elements that are not objects, are left out.
        {R"([{"code":1,"name":"N"},{"code":"a"},{"name":"B"},{"code":"c","name":null},)"
         R"(null,"a",3,{"code":"d","name":"D"}])",
         R"({"code":"d","name":"D"})"},
        {R"({"users":[{"code":"a","name":"A"}]})", ""}};
    for (const auto& [users, expected] : cases)
        EXPECT_EQ(stampo::employeesFromUsers(Json::parse(users)).dump(), Json::parse(listOf(expected)).dump());
}

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

TEST(EmployeeList, RecordsBecomeCodeAndNameEntriesOrPlaceholderOnly) {
    const std::string good = R"({"$id":{"value":"1"},"no":{"value":"1002"},"氏名":{"value":"鈴木 一郎"}})";
    const auto list = [](const std::string& records, const char* displayField = "氏名") {
        return stampo::employeesFromRecords(Json::parse(records), "no", displayField).dump();
    };
    EXPECT_EQ(list("[" + good + R"(,{"no":{"value":"1001"},"氏名":{"value":"佐藤"}}])"),
              Json::parse(listOf(R"({"code":"1002","name":"鈴木 一郎"},{"code":"1001","name":"佐藤"})")).dump());
    const std::string placeholderOnly = Json::parse(listOf("")).dump();
    EXPECT_EQ(list("[]"), placeholderOnly);
    EXPECT_EQ(list(good), placeholderOnly) << "not an array";
    EXPECT_EQ(list("[" + good + "]", ""), placeholderOnly) << "display field not set";
    // Any record without the key or the display field's text value spoils the whole list.
    for (const char* spoiler :
         {R"({"氏名":{"value":"X"}})", R"({"no":{"value":"9"}})", R"({"no":{"type":"NUMBER"},"氏名":{"value":"X"}})",
          R"({"no":{"value":9},"氏名":{"value":"X"}})", R"({"no":{"value":"9"},"氏名":{"value":["X"]}})",
          R"({"no":"9","氏名":{"value":"X"}})", "null"})
        EXPECT_EQ(list("[" + good + "," + spoiler + "]"), placeholderOnly) << spoiler;
}

TEST(EmployeeList, PreselectsTheLastEntryWithTheCode) {
    const Json list = Json::parse(listOf(R"({"code":"a","name":"A"},{"code":"b","name":"B"},
        {"code":"a","name":"A again"},{"code":7,"name":"number"},{"name":"no code"})"));
    const std::pair<const char*, std::size_t> cases[] = {{"b", 2}, {"a", 3}, {"gone", 0}, {"", 0}, {"7", 0}};
    for (const auto& [code, expected] : cases)
        EXPECT_EQ(stampo::preselectedEmployee(list, code), expected) << code;
    EXPECT_EQ(stampo::preselectedEmployee(nullptr, "a"), 0u);
}

} // namespace
