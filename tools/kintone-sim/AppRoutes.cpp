#include "Route.h"

#include <string>

namespace kintonesim {
namespace {

Answer formFields(const Call& call) {
    auto found = findApp(call.data, parameter(call.query, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    const App& app = *std::get<App*>(found);
    return jsonAnswer(Json{{"properties", app.properties}, {"revision", std::to_string(app.revision)}});
}

} // namespace

std::span<const Route> appRoutes() {
    static constexpr Route routes[] = {
        {"GET", "/k/v1/app/form/fields.json", false, formFields},
    };
    return routes;
}

} // namespace kintonesim
