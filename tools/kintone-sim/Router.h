#pragma once

#include "Answer.h"
#include "DataModel.h"
#include "RecordedRequest.h"
#include "Route.h"

#include <string>
#include <vector>

namespace kintonesim {

// Answers a request as kintone would: checks its credentials, finds its route and hands it the data.
class Router final {
public:
    Router(std::vector<std::string> authCodes, DataModel& data);

    Answer respond(const RecordedRequest& request, const QueryParameters& query);

private:
    const std::vector<std::string> m_authCodes;
    DataModel& m_data;
};

} // namespace kintonesim
