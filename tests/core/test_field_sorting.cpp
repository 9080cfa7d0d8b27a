#include "settings/FieldSorting.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Json = stampo::Kintone::Json;
using Codes = std::vector<std::string>;

Json field(const std::string& type, const std::string& code, const Json& lookup = Json::value_t::discarded) {
    Json object{{"type", type}, {"code", code}, {"label", "項目 " + code}, {"required", false}};
    if (!lookup.is_discarded())
        object["lookup"] = lookup;
    return object;
}

const Json someLookup = Json::parse(R"({"relatedApp":{"app":"2","code":""},"relatedKeyField":"社員番号"})");

// A properties object keyed by code, in the order given.
Json table(std::initializer_list<Json> fields) {
    Json properties = Json::object();
    for (const Json& object : fields)
        properties[object["code"].get<std::string>()] = object;
    return properties;
}

// The codes of a list, after checking that every entry is its field's object, unchanged.
Codes codesOf(const Json& list, const Json& properties) {
    Codes codes;
    for (const Json& entry : list) {
        codes.push_back(entry["code"]);
        EXPECT_EQ(entry, properties[codes.back()]);
    }
    return codes;
}

// The start and end lists are the same; names are offered from a lookup's source app.
TEST(FieldSorting, SplitsFieldsIntoTimeEmployeeAndNameListsInTheAnswersOrder) {
    struct Case {
        const char* what;
        Json properties;
        Codes times, employees, names;
    };
    const Case cases[] = {
        {"each kind, in the answer's order; NUMBER and SINGLE_LINE_TEXT are employees only with a lookup, whatever "
         "it holds, and names only without",
         table({field("DATETIME", "z"), field("USER_SELECT", "y"), field("SINGLE_LINE_TEXT", "t"), field("NUMBER", "n"),
                field("DATETIME", "a"), field("NUMBER", "nl", "x"), field("SINGLE_LINE_TEXT", "tl", nullptr),
                field("USER_SELECT", "ul", someLookup), field("SINGLE_LINE_TEXT", "s")}),
         {"z", "a"},
         {"y", "nl", "tl", "ul"},
         {"t", "s"}},
        {"types compared exactly",
         table({field("datetime", "a"), field("DATE", "b"), field("CREATED_TIME", "c"), field("USER_SELECT ", "d"),
                field("number", "e", someLookup), field("MULTI_LINE_TEXT", "f"), field("single_line_text", "g")}),
         {},
         {},
         {}},
        {"objects without a text type, code or label are skipped",
         Json::parse(R"({"a":{"code":"a","label":"A"},"b":{"type":"DATETIME","label":"B"},
                         "c":{"type":"DATETIME","code":"c","label":null},"d":{"type":["USER_SELECT"],"code":"d","label":"D"},
                         "e":"DATETIME","f":{"type":"DATETIME","code":"f","label":""},
                         "g":{"type":"SINGLE_LINE_TEXT","code":"g"}})"),
         {"f"},
         {},
         {}},
        {"not an object", Json::array({field("DATETIME", "dt"), field("SINGLE_LINE_TEXT", "t")}), {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Json lists = stampo::splitFieldLists(c.properties), names = stampo::nameFieldLists(c.properties);
        ASSERT_EQ(lists.size() + names.size(), 4u);
        EXPECT_EQ(codesOf(lists.at("fieldIn"), c.properties), c.times);
        EXPECT_EQ(codesOf(lists.at("fieldOut"), c.properties), c.times);
        EXPECT_EQ(codesOf(lists.at("fieldUser"), c.properties), c.employees);
        EXPECT_EQ(codesOf(names.at("fieldUserDisplay"), c.properties), c.names);
    }
}

TEST(FieldSorting, NameSourceIsTheLookupsTextAppAndTypeIsReadByCode) {
    const std::tuple<Json, std::optional<std::string>, std::string> cases[] = {
        {field("NUMBER", "employeeNo", someLookup), "2", "NUMBER"},
        {field("SINGLE_LINE_TEXT", "text7", {{"relatedApp", {{"app", "7"}}}}), "7", "SINGLE_LINE_TEXT"},
        {field("USER_SELECT", "user", someLookup), std::nullopt, "USER_SELECT"},
        {field("DATETIME", "start"), std::nullopt, "DATETIME"},
        {field("NUMBER", "noRelated", {{"relatedKeyField", "社員番号"}}), std::nullopt, "NUMBER"},
        {field("NUMBER", "numericApp", {{"relatedApp", {{"app", 2}}}}), std::nullopt, "NUMBER"},
        {field("NUMBER", "nullLookup", nullptr), std::nullopt, "NUMBER"},
        {field("NUMBER", "relatedText", {{"relatedApp", "2"}}), std::nullopt, "NUMBER"},
        {Json{{"type", "NUMBER"}, {"code", "unlabelled"}, {"lookup", someLookup}}, std::nullopt, ""},
        {field("NUMBER", "", someLookup), std::nullopt, "NUMBER"},
    };
    Json properties = Json::object(); // all of them at once, so that each is found by its code
    for (const auto& [object, app, type] : cases)
        properties[object["code"].get<std::string>()] = object;
    for (const auto& [object, app, type] : cases) {
        const std::string code = object["code"];
        EXPECT_EQ(stampo::nameSourceApp(properties, code), app) << code;
        EXPECT_EQ(stampo::fieldType(properties, code), type) << code;
    }
    EXPECT_EQ(stampo::nameSourceApp(properties, "gone"), std::nullopt);
    EXPECT_EQ(stampo::fieldType(properties, "gone"), "");
    EXPECT_EQ(stampo::nameSourceApp(nullptr, "employeeNo"), std::nullopt);
    EXPECT_EQ(stampo::fieldType(Json::array(), "employeeNo"), "");
}

} // namespace
