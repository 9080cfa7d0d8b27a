#include "Router.h"

#include <algorithm>

namespace kintonesim {
namespace {

// Every group of operations the simulator knows.
constexpr std::span<const Route> (*routeGroups[])() = {recordRoutes, appRoutes, userRoutes, cursorRoutes};

const Route* findRoute(const RecordedRequest& request) {
    for (const auto group : routeGroups)
        for (const Route& route : group())
            if (request.method == route.method && request.path == route.path)
                return &route;
    return nullptr;
}

} // namespace

Router::Router(std::vector<std::string> authCodes, DataModel& data)
    : m_authCodes(std::move(authCodes))
    , m_data(data) {}

Answer Router::respond(const RecordedRequest& request, const QueryParameters& query) {
    if (!request.hasHeader("X-Cybozu-Authorization") ||
        std::ranges::find(m_authCodes, request.header("X-Cybozu-Authorization")) == m_authCodes.end())
        return errorAnswer(
            401, "CB_WA01",
            "ユーザーのパスワード認証に失敗しました。「X-Cybozu-Authorization」ヘッダーの値が正しくありません。");
    const Route* route = findRoute(request);
    if (route == nullptr)
        return errorAnswer(404, "CB_NO02", "指定したAPIが見つかりません。");
    Json body;
    if (route->jsonBody) {
        body = Json::parse(request.body, nullptr, false);
        if (!body.is_object())
            return errorAnswer(400, "CB_IJ01", "不正なJSON文字列です。");
    }
    return m_data.locked([&](Data& data) { return route->answer({query, body, data}); });
}

} // namespace kintonesim
