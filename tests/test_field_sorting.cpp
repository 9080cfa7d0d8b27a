#include "settings/FieldSorting.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
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

TEST(FieldSorting, SplitsFieldsIntoStartEndAndEmployeeListsInTheAnswersOrder) {
    struct Case {
        const char* what;
        Json properties;
        Codes start, end, employee;
    };
    const Case cases[] = {
        {"one of each kind",
         table({field("DATETIME", "dt"), field("USER_SELECT", "us"), field("SINGLE_LINE_TEXT", "lk", someLookup),
                field("SINGLE_LINE_TEXT", "tx")}),
         {"dt"},
         {"dt"},
         {"us", "lk"}},
        {"order of the answer, not of the codes",
         table({field("DATETIME", "z"), field("USER_SELECT", "y"), field("DATETIME", "a"), field("USER_SELECT", "b")}),
         {"z", "a"},
         {"z", "a"},
         {"y", "b"}},
        {"NUMBER and SINGLE_LINE_TEXT only with a lookup member, whatever it holds",
         table({field("NUMBER", "n"), field("NUMBER", "nl", nullptr), field("SINGLE_LINE_TEXT", "tl", "x"),
                field("USER_SELECT", "ul", someLookup)}),
         {},
         {},
         {"nl", "tl", "ul"}},
        {"types compared exactly",
         table({field("datetime", "a"), field("DATE", "b"), field("CREATED_TIME", "c"), field("USER_SELECT ", "d"),
                field("number", "e", someLookup), field("MULTI_LINE_TEXT", "f", someLookup)}),
         {},
         {},
         {}},
        {"objects without a text type, code or label are skipped",
         Json::parse(R"({"a":{"code":"a","label":"A"},"b":{"type":"DATETIME","label":"B"},
                         "c":{"type":"DATETIME","code":"c","label":null},"d":{"type":["USER_SELECT"],"code":"d","label":"D"},
                         "e":"DATETIME","f":{"type":"DATETIME","code":"f","label":""}})"),
         {"f"},
         {"f"},
         {}},
        {"no fields", Json::object(), {}, {}, {}},
        {"not an object", Json::array({field("DATETIME", "dt")}), {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Json lists = stampo::splitFieldLists(c.properties);
        ASSERT_EQ(lists.size(), 3u);
        EXPECT_EQ(codesOf(lists["fieldIn"], c.properties), c.start);
        EXPECT_EQ(codesOf(lists["fieldOut"], c.properties), c.end);
        EXPECT_EQ(codesOf(lists["fieldUser"], c.properties), c.employee);
        EXPECT_EQ(lists.begin().key(), "fieldIn");
    }
}

TEST(FieldSorting, NamesArePlainSingleLineTextsAndAnEmptyListIsStillABundle) {
    const std::pair<Json, Codes> cases[] = {
        {table({field("SINGLE_LINE_TEXT", "b"), field("SINGLE_LINE_TEXT", "lk", someLookup), field("NUMBER", "n"),
                field("MULTI_LINE_TEXT", "m"), field("single_line_text", "s"), field("SINGLE_LINE_TEXT", "a")}),
         {"b", "a"}},
        {table({field("NUMBER", "社員番号"), field("SINGLE_LINE_TEXT", "氏名", nullptr)}), {}},
        {Json::object(), {}},
        {nullptr, {}},
    };
    for (const auto& [properties, names] : cases) {
        SCOPED_TRACE(properties.dump());
        const Json bundle = stampo::nameFieldLists(properties);
        ASSERT_EQ(bundle.size(), 1u);
        EXPECT_EQ(codesOf(bundle.at("fieldUserDisplay"), properties), names);
    }
}

TEST(FieldSorting, NameSourceIsTheLookupsTextAppAndTypeIsReadByCode) {
    const Json properties = table({
        field("NUMBER", "employeeNo", someLookup),
        field("SINGLE_LINE_TEXT", "text7", {{"relatedApp", {{"app", "7"}}}}),
        field("USER_SELECT", "user", someLookup),
        field("DATETIME", "start"),
        field("NUMBER", "noRelated", {{"relatedKeyField", "社員番号"}}),
        field("NUMBER", "numericApp", {{"relatedApp", {{"app", 2}}}}),
        field("NUMBER", "nullLookup", nullptr),
        field("NUMBER", "relatedText", {{"relatedApp", "2"}}),
        Json{{"type", "NUMBER"}, {"code", "unlabelled"}, {"lookup", someLookup}},
    });
    struct Case {
        std::string code;
        std::optional<std::string> app;
        std::string type;
    };
    const Case cases[] = {
        {"employeeNo", "2", "NUMBER"},
        {"text7", "7", "SINGLE_LINE_TEXT"},
        {"user", std::nullopt, "USER_SELECT"},
        {"start", std::nullopt, "DATETIME"},
        {"noRelated", std::nullopt, "NUMBER"},
        {"numericApp", std::nullopt, "NUMBER"},
        {"nullLookup", std::nullopt, "NUMBER"},
        {"relatedText", std::nullopt, "NUMBER"},
        {"unlabelled", std::nullopt, ""},
        {"gone", std::nullopt, ""},
        {"", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(stampo::nameSourceApp(properties, c.code), c.app);
        EXPECT_EQ(stampo::fieldType(properties, c.code), c.type);
    }
    EXPECT_EQ(stampo::nameSourceApp(nullptr, "employeeNo"), std::nullopt);
    EXPECT_EQ(stampo::fieldType(Json::array(), "employeeNo"), "");
}

} // namespace
