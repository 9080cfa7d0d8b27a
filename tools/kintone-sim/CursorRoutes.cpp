#include "Route.h"

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace kintonesim {
namespace {

constexpr std::size_t maxOpenCursors = 10;
constexpr int maxCursorSize = 500;
constexpr int defaultCursorSize = 100;

// A record as a cursor page shows it: with "$revision", and only the asked-for fields when `fields` lists some.
Json cursorRecord(const StoredRecord& stored, const Json& fields) {
    Json record = stored.fields;
    record["$revision"] = Json{{"type", "__REVISION__"}, {"value", std::to_string(stored.revision)}};
    if (!fields.is_array())
        return record;
    Json picked = Json::object();
    for (const auto& code : fields)
        if (code.is_string() && record.contains(code.get<std::string>()))
            picked[code.get<std::string>()] = record[code.get<std::string>()];
    return picked;
}

Answer createCursor(const Call& call) {
    static const std::regex ascendingById(R"((^|\s)order\s+by\s+\$id\s+asc\s*$)", std::regex::icase);
    auto found = findApp(call.data, member(call.body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    const App& app = *std::get<App*>(found);
    const auto size = parseCount(call.body.value("size", Json(defaultCursorSize)));
    if (!size)
        return invalidAnswer("size", notANumber);
    if (*size < 1 || *size > maxCursorSize)
        return invalidAnswer("size", "1以上" + std::to_string(maxCursorSize) + "以下である必要があります。");
    const Json query = call.body.value("query", Json(""));
    if (!query.is_string())
        return invalidAnswer("query", "値が不正です。");
    if (call.data.cursors.size() >= maxOpenCursors)
        return errorAnswer(400, "GAIA_TM12",
                           "作成できるカーソルの上限に達しているため、カーソルを作成できません。"
                           "不要なカーソルを削除するか、しばらく経ってから再実行してください。");

    // Conditions are not understood: every record matches. kintone's default order is by $id descending.
    Cursor cursor;
    cursor.app = parseCount(member(call.body, "app")).value_or(0); // findApp has accepted it
    cursor.pageSize = static_cast<std::size_t>(*size);
    cursor.fields = member(call.body, "fields");
    for (const auto& [id, stored] : app.records)
        cursor.ids.push_back(id);
    if (!std::regex_search(query.get<std::string>(), ascendingById))
        std::ranges::reverse(cursor.ids);
    const std::string total = std::to_string(cursor.ids.size());

    std::string id = randomText("0123456789abcdef", 32);
    for (const std::size_t dash : {20, 16, 12, 8})
        id.insert(dash, 1, '-');
    call.data.cursors.emplace(id, std::move(cursor));
    return jsonAnswer(Json{{"id", id}, {"totalCount", total}});
}

Answer readCursor(const Call& call) {
    const Json id = parameter(call.query, "id");
    if (id.is_null())
        return invalidAnswer("id", required);
    const auto found = call.data.cursors.find(id.get<std::string>());
    if (found == call.data.cursors.end())
        return errorAnswer(404, "GAIA_CU01", "指定したカーソルが見つかりません。");
    Cursor& cursor = found->second;
    const std::size_t end = std::min(cursor.ids.size(), cursor.next + cursor.pageSize);
    const auto app = call.data.apps.find(cursor.app);
    std::vector<const StoredRecord*> page;
    for (std::size_t i = cursor.next; app != call.data.apps.end() && i < end; ++i)
        if (const auto stored = app->second.records.find(cursor.ids[i]); stored != app->second.records.end())
            page.push_back(&stored->second);
    cursor.next = end;
    const bool more = end < cursor.ids.size();
    const auto dump = [&fields = cursor.fields](const StoredRecord* stored) {
        return compact(cursorRecord(*stored, fields));
    };
    Answer answer = listAnswer("records", page, dump, more ? R"(,"next":true)" : R"(,"next":false)");
    if (!more)
        call.data.cursors.erase(found);
    return answer;
}

Answer deleteCursor(const Call& call) {
    const Json id = member(call.body, "id");
    if (!id.is_string())
        return invalidAnswer("id", required);
    if (call.data.cursors.erase(id.get<std::string>()) == 0)
        return errorAnswer(404, "GAIA_CU01", "指定したカーソルが見つかりません。");
    return jsonAnswer(Json::object());
}

} // namespace

std::span<const Route> cursorRoutes() {
    static constexpr Route routes[] = {
        {"POST", "/k/v1/records/cursor.json", true, createCursor},
        {"GET", "/k/v1/records/cursor.json", false, readCursor},
        {"DELETE", "/k/v1/records/cursor.json", true, deleteCursor},
    };
    return routes;
}

} // namespace kintonesim
