#pragma once

#include "kintone/HttpExchange.h"

#include <string>

namespace stampo::ErrorTexts {

// The one place where transport failures and unusable answers become what the user reads.

// A request that got no whole HTTP answer: one text per class of failure, with curl's code in brackets.
std::string transport(const HttpResponse& response);
// The answer body is not JSON (or is empty), or nests too deep (KintoneAnswer::parse).
std::string unreadableAnswer(long status);
// A status other than 200 whose answer carries no text "message".
std::string httpStatus(long status);
// A status-200 answer that lacks a member the request needs, or has one of another kind.
std::string unexpectedAnswer();

std::string invalidSubdomain();
std::string invalidRegion();
std::string invalidAuthCode();
std::string invalidAppId();
std::string invalidProxyHost();
std::string invalidProxyPort();
std::string unserialisableBody();
std::string cannotStart();

} // namespace stampo::ErrorTexts
