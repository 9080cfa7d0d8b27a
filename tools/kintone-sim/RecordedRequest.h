#pragma once

#include <map>
#include <string>

namespace kintonesim {

// One request as the simulator received it.
struct RecordedRequest {
    std::string method;
    std::string path;                                // without the query
    std::string query;                               // raw text after '?', empty when none
    std::multimap<std::string, std::string> headers; // names as sent
    std::string body;
    std::string remoteAddress;
    int remotePort = 0;

    // The first header of that name, compared case-insensitively; empty when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

} // namespace kintonesim
