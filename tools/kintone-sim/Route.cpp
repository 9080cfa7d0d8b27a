#include "Route.h"

namespace kintonesim {

Json parameter(const QueryParameters& query, const char* name) {
    const auto found = query.find(name);
    return found == query.end() ? Json() : Json(found->second);
}

std::variant<App*, Answer> findApp(Data& data, const Json& id) {
    const auto app = parseCount(id);
    if (!app)
        return invalidAnswer("app", id.is_null() ? required : notANumber);
    const auto found = data.apps.find(*app);
    if (found == data.apps.end())
        return errorAnswer(404, "GAIA_AP01",
                           "指定したアプリ（id: " + std::to_string(*app) +
                               "）が見つかりません。削除されている可能性があります。");
    return &found->second;
}

} // namespace kintonesim
