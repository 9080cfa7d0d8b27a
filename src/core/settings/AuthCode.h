#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace stampo {

// Standard Base64 of `bytes`: RFC 4648 alphabet with "+" and "/", "=" padding, no line breaks.
std::string base64(std::string_view bytes);

// The code kintone's password authentication expects: base64 of the UTF-8 bytes of loginName + ":" + password,
// both joined unchanged.
std::string authCode(const std::string& loginName, const std::string& password);

// The auth-code form's check: the message of the first empty input, none when both hold at least one character.
std::optional<std::string> checkAuthForm(const std::string& loginName, const std::string& password);

} // namespace stampo
