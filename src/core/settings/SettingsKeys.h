#pragma once

#include <array>
#include <string>
#include <string_view>

namespace stampo {

class SettingsStore;

namespace SettingsKeys {

inline constexpr std::array<std::string_view, 8> connectionKeys{
    "subDomain", "topLevelDomain", "authCode", "appID", "fieldIn", "fieldOut", "fieldUser", "fieldUserDisplay"};
inline constexpr std::array<std::string_view, 4> proxyKeys{"proxyHost", "proxyPort", "proxyUser", "proxyPassword"};
// The keys whose values are credentials: kept in the desktop's keyring where there is one.
inline constexpr std::array<std::string_view, 2> secretKeys{"authCode", "proxyPassword"};
inline constexpr std::array<std::string_view, 4> workStateKeys{"keepOuttime", "keepRecordno", "keepUser",
                                                               "keepWorkEnds"};
// Names of the auth-code window's inputs; nothing is ever stored under them.
inline constexpr std::array<std::string_view, 2> loginKeys{"loginName", "loginPassword"};

// "fieldIn" -> "fieldInType"
std::string typeKey(std::string_view fieldKey);

// Stores the empty text under every connection key, then every proxy key, that holds nothing yet.
void seed(SettingsStore& store);

} // namespace SettingsKeys
} // namespace stampo
