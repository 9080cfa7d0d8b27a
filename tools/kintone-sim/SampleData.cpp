#include "SampleData.h"

namespace kintonesim {
namespace {

Json field(const char* type, const char* code, const char* label) {
    return Json{{"type", type}, {"code", code}, {"label", label}, {"noLabel", false}};
}

// A field the user fills in, with the members kintone lists after the common ones.
Json inputField(const char* type, const char* code, const char* label, const Json& members) {
    Json property = field(type, code, label);
    property["required"] = false;
    property.update(members);
    return property;
}

// The process management and category pseudo-fields kintone lists even when they are off.
Json switchableField(const char* type, const char* code) {
    return Json{{"type", type}, {"code", code}, {"label", code}, {"enabled", false}};
}

void addSystemFields(Json& properties) {
    for (const auto& [type, code] : {std::pair{"RECORD_NUMBER", "レコード番号"},
                                     {"CREATOR", "作成者"},
                                     {"CREATED_TIME", "作成日時"},
                                     {"MODIFIER", "更新者"},
                                     {"UPDATED_TIME", "更新日時"}})
        properties[code] = field(type, code, code);
    for (const auto& [type, code] :
         {std::pair{"CATEGORY", "カテゴリー"}, {"STATUS", "ステータス"}, {"STATUS_ASSIGNEE", "作業者"}})
        properties[code] = switchableField(type, code);
}

Json dateTimeField(const char* code, const char* label) {
    return inputField("DATETIME", code, label, {{"unique", false}, {"defaultValue", ""}, {"defaultNowValue", false}});
}

Json textField(const char* code) {
    return inputField("SINGLE_LINE_TEXT", code, code,
                      {{"minLength", ""},
                       {"maxLength", ""},
                       {"expression", ""},
                       {"hideExpression", false},
                       {"unique", false},
                       {"defaultValue", ""}});
}

struct Person {
    const char* code;
    const char* surName;
    const char* givenName;
    const char* employeeNumber;
};

constexpr Person people[] = {
    {"sato", "佐藤", "花子", "1001"},   {"suzuki", "鈴木", "一郎", "1002"}, {"takahashi", "高橋", "健太", "1003"},
    {"tanaka", "田中", "美咲", "1004"}, {"watanabe", "渡辺", "翔", "1005"},
};

Json attendanceApp() {
    Json properties = Json::object();
    properties["start"] = dateTimeField("start", "出勤");
    properties["end"] = dateTimeField("end", "退勤");
    properties["employee"] =
        inputField("USER_SELECT", "employee", "社員", {{"entities", Json::array()}, {"defaultValue", Json::array()}});
    properties["employeeNo"] = inputField(
        "NUMBER", "employeeNo", "社員番号",
        {{"lookup",
          Json::parse(R"({"relatedApp":{"app":"2","code":""},"relatedKeyField":"社員番号",)"
                      R"("fieldMappings":[],"lookupPickerFields":[],"filterCond":"","sort":"社員番号 asc"})")}});
    properties["氏名"] = textField("氏名");
    properties["備考"] = inputField("MULTI_LINE_TEXT", "備考", "備考", {{"defaultValue", ""}});
    addSystemFields(properties);
    return Json{{"name", "勤怠"}, {"properties", properties}, {"records", Json::array()}};
}

Json employeeApp() {
    Json properties = Json::object();
    properties["社員番号"] = inputField("NUMBER", "社員番号", "社員番号",
                                        {{"minValue", ""},
                                         {"maxValue", ""},
                                         {"digit", false},
                                         {"unique", true},
                                         {"defaultValue", ""},
                                         {"displayScale", ""},
                                         {"unit", ""},
                                         {"unitPosition", "BEFORE"}});
    properties["社員番号"]["required"] = true;
    properties["氏名"] = textField("氏名");
    addSystemFields(properties);
    Json records = Json::array();
    for (const auto& person : people)
        records.push_back(Json{{"社員番号", {{"value", person.employeeNumber}}},
                               {"氏名", {{"value", std::string(person.surName) + " " + person.givenName}}}});
    return Json{{"name", "社員名簿"}, {"properties", properties}, {"records", records}};
}

} // namespace

Json makeUser(int id, const std::string& code, const std::string& surName, const std::string& givenName,
              const std::string& employeeNumber) {
    constexpr const char* created = "2020-04-01T00:00:00Z";
    return Json{{"id", std::to_string(id)},
                {"code", code},
                {"createdAt", created},
                {"updatedAt", created},
                {"valid", true},
                {"name", surName + " " + givenName},
                {"surName", surName},
                {"givenName", givenName},
                {"surNameReading", ""},
                {"givenNameReading", ""},
                {"localName", ""},
                {"localNameLocale", ""},
                {"timezone", "Asia/Tokyo"},
                {"locale", "ja"},
                {"description", ""},
                {"phone", ""},
                {"mobilePhone", ""},
                {"extensionNumber", ""},
                {"email", code + "@example.com"},
                {"callto", ""},
                {"url", ""},
                {"employeeNumber", employeeNumber},
                {"birthDate", nullptr},
                {"joinDate", nullptr},
                {"primaryOrganization", nullptr},
                {"sortOrder", nullptr},
                {"customItemValues", Json::array()}};
}

Json sampleData() {
    Json users = Json::array();
    int id = 0;
    for (const auto& person : people)
        users.push_back(makeUser(++id, person.code, person.surName, person.givenName, person.employeeNumber));
    return Json{{"apps", {{"1", attendanceApp()}, {"2", employeeApp()}}}, {"users", users}};
}

} // namespace kintonesim
