#include "Route.h"

#include <algorithm>
#include <regex>
#include <string>

namespace kintonesim {
namespace {

bool hasUser(const Json& users, const std::string& code) {
    return std::any_of(users.begin(), users.end(), [&](const Json& user) {
        const auto found = user.find("code");
        return found != user.end() && *found == code;
    });
}

// Why kintone refuses this value for a field of that type; empty when it takes it.
std::string refusal(const std::string& type, const Json& field, const Json& users) {
    static const std::regex dateTime(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?(Z|[+-]\d{2}:\d{2})?)");
    static const std::regex number(R"(-?\d+(\.\d+)?)");
    if (!field.is_object())
        return "値が不正です。";
    const Json value = member(field, "value");
    const auto isEmptyOr = [&value](const std::regex& pattern) {
        return value.is_string() && (value.get_ref<const std::string&>().empty() ||
                                     std::regex_match(value.get_ref<const std::string&>(), pattern));
    };
    if (value.is_null())
        return {};
    if (type == "DATETIME" && !isEmptyOr(dateTime))
        return "日時の形式が正しくありません。";
    if (type == "NUMBER" && !value.is_number() && !isEmptyOr(number))
        return notANumber;
    if (type == "USER_SELECT") {
        if (!value.is_array())
            return "値が不正です。";
        for (const auto& entry : value) {
            const Json code = member(entry, "code");
            if (!code.is_string())
                return "値が不正です。";
            if (!hasUser(users, code.get<std::string>()))
                return "指定したユーザー（code: " + code.get<std::string>() + "）が見つかりません。";
        }
    }
    return {};
}

struct CheckedRecord {
    Json fields = Json::object(); // the given fields the app has
    Json errors = Json::object(); // kintone's "errors" member; empty when every value is taken
};

// Keeps the fields the app has (kintone ignores unknown field codes) and checks their values.
CheckedRecord checkRecord(const Json& properties, const Json& record, const Json& users) {
    CheckedRecord checked;
    for (const auto& [code, field] : record.items()) {
        const auto property = properties.find(code);
        if (property == properties.end())
            continue;
        const Json type = member(*property, "type");
        const std::string reason = refusal(type.is_string() ? type.get<std::string>() : "", field, users);
        if (reason.empty())
            checked.fields[code] = field;
        else
            checked.errors["record." + code + ".value"]["messages"] = Json::array({reason});
    }
    return checked;
}

// The fields of the request's record that the app has, or kintone's answer refusing the record.
std::variant<Json, Answer> acceptedFields(const Call& call, const App& app) {
    const Json record = call.body.value("record", Json::object());
    if (!record.is_object())
        return invalidAnswer("record", "値が不正です。");
    const CheckedRecord checked = checkRecord(app.properties, record, call.data.users);
    if (!checked.errors.empty())
        return errorAnswer(400, "CB_VA01", invalidInput, checked.errors);
    return checked.fields;
}

Answer addRecord(const Call& call) {
    auto found = findApp(call.data, member(call.body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    App& app = *std::get<App*>(found);
    const auto fields = acceptedFields(call, app);
    if (const auto* refused = std::get_if<Answer>(&fields))
        return *refused;
    const int id = app.add(std::get<Json>(fields));
    return jsonAnswer(Json{{"id", std::to_string(id)}, {"revision", "1"}});
}

Answer updateRecord(const Call& call) {
    auto found = findApp(call.data, member(call.body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    App& app = *std::get<App*>(found);
    const Json idValue = member(call.body, "id");
    const auto id = parseCount(idValue);
    if (!id)
        return invalidAnswer("id", idValue.is_null() ? required : notANumber);
    const auto stored = app.records.find(*id);
    if (stored == app.records.end())
        return errorAnswer(404, "GAIA_RE01", "指定したレコード（id: " + std::to_string(*id) + "）が見つかりません。");
    const auto fields = acceptedFields(call, app);
    if (const auto* refused = std::get_if<Answer>(&fields))
        return *refused;
    for (const auto& [code, field] : std::get<Json>(fields).items())
        stored->second.fields[code] = field;
    return jsonAnswer(Json{{"revision", std::to_string(++stored->second.revision)}});
}

} // namespace

std::span<const Route> recordRoutes() {
    static constexpr Route routes[] = {
        {"POST", "/k/v1/record.json", true, addRecord},
        {"PUT", "/k/v1/record.json", true, updateRecord},
    };
    return routes;
}

} // namespace kintonesim
