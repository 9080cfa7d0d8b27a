#include "settings/FieldSorting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

namespace {

using Json = stampo::Kintone::Json;

// The fields of every kind, in one answer; over this same corpus file fuzz_field_sorting checks which lists each type
// goes to, in the answer's order. Here: what counts as a field (a text type, code and label, the label empty or not)
// with its type unchanged, and which lookups offer names from a text source app.
TEST(FieldSorting, KnowsEachFieldByItsTextTypeCodeAndLabelAndTheNameAppOfALookup) {
    const Json properties = Json::parse(std::ifstream(STAMPO_FIELD_KINDS));
    const struct {
        std::string code, type;
        std::optional<std::string> nameApp = std::nullopt;
    } fields[] = {
        {"emptyLabel", "DATETIME"},
        {"untyped", ""},
        {"uncoded", ""},
        {"nullLabel", ""},
        {"listType", ""},
        {"text", ""},
        {"unlabelled", ""},
        {"unlabelledText", ""},
        {"spaced", "USER_SELECT "},
        {"gone", ""},
        {"employeeNo", "NUMBER", "2"},
        {"text7", "SINGLE_LINE_TEXT", "7"},
        {"ul", "USER_SELECT"},
        {"noRelated", "NUMBER"},
        {"numericApp", "NUMBER"},
        {"relatedText", "NUMBER"},
        {"", "NUMBER"},
    };
    for (const auto& f : fields) {
        EXPECT_EQ(stampo::fieldType(properties, f.code), f.type) << f.code;
        EXPECT_EQ(stampo::nameSourceApp(properties, f.code), f.nameApp) << f.code;
    }
}

} // namespace
