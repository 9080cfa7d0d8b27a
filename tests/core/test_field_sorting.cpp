#include "settings/FieldSorting.h"

#include <gtest/gtest.h>

#include <map>
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

// The codes of a list, after checking that every entry is its field's object, unchanged.
Codes codesOf(const Json& list, const Json& properties) {
    Codes codes;
    for (const Json& entry : list) {
        codes.push_back(entry["code"]);
        EXPECT_EQ(entry, properties[codes.back()]);
    }
    return codes;
}

// All fields in one answer, each found by its code. The start and end lists are the same, in the answer's order;
// NUMBER and SINGLE_LINE_TEXT are employees only with a lookup, whatever it holds, and names only without; names are
// offered from a lookup's text source app.
TEST(FieldSorting, SortsEachFieldByItsExactTypeAndLookupInTheAnswersOrder) {
    const struct {
        std::string code;
        Json field;
        char list; // t: start and end times, e: employees, n: names, -: none; x: no field (no text type, code, label)
        std::optional<std::string> nameApp = std::nullopt;
    } fields[] = {
        {"z", field("DATETIME", "z"), 't'},
        {"y", field("USER_SELECT", "y"), 'e'},
        {"t", field("SINGLE_LINE_TEXT", "t"), 'n'},
        {"n", field("NUMBER", "n"), '-'},
        {"a", field("DATETIME", "a"), 't'},
        {"nl", field("NUMBER", "nl", "x"), 'e'},
        {"tl", field("SINGLE_LINE_TEXT", "tl", nullptr), 'e'},
        {"ul", field("USER_SELECT", "ul", someLookup), 'e'},
        {"s", field("SINGLE_LINE_TEXT", "s"), 'n'},
        {"employeeNo", field("NUMBER", "employeeNo", someLookup), 'e', "2"},
        {"text7", field("SINGLE_LINE_TEXT", "text7", {{"relatedApp", {{"app", "7"}}}}), 'e', "7"},
        {"noRelated", field("NUMBER", "noRelated", {{"relatedKeyField", "社員番号"}}), 'e'},
        {"numericApp", field("NUMBER", "numericApp", {{"relatedApp", {{"app", 2}}}}), 'e'},
        {"relatedText", field("NUMBER", "relatedText", {{"relatedApp", "2"}}), 'e'},
        {"", field("NUMBER", "", someLookup), 'e'},
        {"lower", field("datetime", "lower"), '-'},
        {"date", field("DATE", "date"), '-'},
        {"created", field("CREATED_TIME", "created"), '-'},
        {"spaced", field("USER_SELECT ", "spaced"), '-'},
        {"number", field("number", "number", "x"), '-'},
        {"multi", field("MULTI_LINE_TEXT", "multi"), '-'},
        {"single", field("single_line_text", "single"), '-'},
        {"emptyLabel", Json::parse(R"({"type":"DATETIME","code":"emptyLabel","label":""})"), 't'},
        {"untyped", Json::parse(R"({"code":"untyped","label":"A"})"), 'x'},
        {"uncoded", Json::parse(R"({"type":"DATETIME","label":"B"})"), 'x'},
        {"nullLabel", Json::parse(R"({"type":"DATETIME","code":"nullLabel","label":null})"), 'x'},
        {"listType", Json::parse(R"({"type":["USER_SELECT"],"code":"listType","label":"D"})"), 'x'},
        {"text", "DATETIME", 'x'},
        {"unlabelled", Json{{"type", "NUMBER"}, {"code", "unlabelled"}, {"lookup", someLookup}}, 'x'},
        {"unlabelledText", Json::parse(R"({"type":"SINGLE_LINE_TEXT","code":"unlabelledText"})"), 'x'},
    };
    Json properties = Json::object();
    std::map<char, Codes> expected;
    for (const auto& f : fields) {
        properties[f.code] = f.field;
        expected[f.list].push_back(f.code);
    }
    const Json lists = stampo::splitFieldLists(properties), names = stampo::nameFieldLists(properties);
    ASSERT_EQ(lists.size() + names.size(), 4u);
    EXPECT_EQ(codesOf(lists.at("fieldIn"), properties), expected['t']);
    EXPECT_EQ(codesOf(lists.at("fieldOut"), properties), expected['t']);
    EXPECT_EQ(codesOf(lists.at("fieldUser"), properties), expected['e']);
    EXPECT_EQ(codesOf(names.at("fieldUserDisplay"), properties), expected['n']);
    for (const auto& f : fields) {
        EXPECT_EQ(stampo::nameSourceApp(properties, f.code), f.nameApp) << f.code;
        EXPECT_EQ(stampo::fieldType(properties, f.code), f.list == 'x' ? "" : f.field["type"]) << f.code;
    }
    EXPECT_EQ(stampo::nameSourceApp(properties, "gone"), std::nullopt);
    EXPECT_EQ(stampo::fieldType(properties, "gone"), "");

    // Of anything but an object, no field is known.
    const Json array = Json::array({field("DATETIME", "t"), field("SINGLE_LINE_TEXT", "t")});
    EXPECT_EQ(stampo::splitFieldLists(array).dump(), R"({"fieldIn":[],"fieldOut":[],"fieldUser":[]})");
    EXPECT_EQ(stampo::nameFieldLists(array).dump(), R"({"fieldUserDisplay":[]})");
    EXPECT_EQ(stampo::fieldType(array, "t"), "");
    EXPECT_EQ(stampo::nameSourceApp(nullptr, "employeeNo"), std::nullopt);
}

} // namespace
