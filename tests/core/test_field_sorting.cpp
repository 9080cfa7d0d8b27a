#include "settings/FieldSorting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

namespace {

using Json = stampo::Kintone::Json;

// The fields of every kind, in one answer; over this same corpus file fuzz_field_sorting checks which lists each type
// goes to, in the answer's order. Here: what counts as a field (a text type, code and label, the label empty or not)
// with its type unchanged, and which lookups offer names from a text source app: the data file maps a code to its
// type and name app (null: none).
TEST(FieldSorting, KnowsEachFieldByItsTextTypeCodeAndLabelAndTheNameAppOfALookup) {
    const Json properties = Json::parse(std::ifstream(STAMPO_FIELD_KINDS));
    const Json kinds = Json::parse(std::ifstream(STAMPO_FIELD_KINDS_EXPECTED));
    for (const auto& [code, expected] : kinds.items()) {
        const std::optional<std::string> nameApp = stampo::nameSourceApp(properties, code);
        EXPECT_EQ(Json::array({stampo::fieldType(properties, code), nameApp ? Json(*nameApp) : Json()}), expected)
            << code;
    }
}

} // namespace
