#pragma once

#include "KintoneSimulator.h"

#include <string>

namespace kintonesim {

// A user as the cybozu.com user API lists one.
Json makeUser(int id, const std::string& code, const std::string& surName, const std::string& givenName,
              const std::string& employeeNumber = "");

} // namespace kintonesim
