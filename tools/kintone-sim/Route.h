#pragma once

#include "Answer.h"
#include "DataModel.h"
#include "Json.h"

#include <map>
#include <span>
#include <string>
#include <variant>

namespace kintonesim {

// The query's parameters, decoded, by name.
using QueryParameters = std::multimap<std::string, std::string>;

// A request as a route gets it: the body already parsed, the data already locked.
struct Call {
    const QueryParameters& query;
    const Json& body; // a JSON object for a route that takes one, null otherwise
    Data& data;
};

// One kintone operation: the request it answers, and how.
struct Route {
    const char* method;
    const char* path;
    bool jsonBody; // the arguments come as a JSON object in the body, not in the query
    Answer (*answer)(const Call& call);
};

// The operations, one group to a file; a new operation is one function and one entry in its group's list.
std::span<const Route> recordRoutes();
std::span<const Route> appRoutes();
std::span<const Route> userRoutes();
std::span<const Route> cursorRoutes();

// The first query parameter of that name as a JSON string; null when absent.
Json parameter(const QueryParameters& query, const char* name);
// The app whose id is given, or kintone's answer refusing that id.
std::variant<App*, Answer> findApp(Data& data, const Json& id);

} // namespace kintonesim
