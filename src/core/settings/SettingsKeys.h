#pragma once

#include <array>
#include <string>
#include <string_view>

namespace stampo {

class SettingsStore;

namespace SettingsKeys {

// Every key of the settings file, named here once.
inline constexpr const char* subDomain = "subDomain";
inline constexpr const char* topLevelDomain = "topLevelDomain";
inline constexpr const char* authCode = "authCode";
inline constexpr const char* appID = "appID";
inline constexpr const char* fieldIn = "fieldIn";
inline constexpr const char* fieldOut = "fieldOut";
inline constexpr const char* fieldUser = "fieldUser";
inline constexpr const char* fieldUserDisplay = "fieldUserDisplay";
inline constexpr const char* proxyHost = "proxyHost";
inline constexpr const char* proxyPort = "proxyPort";
inline constexpr const char* proxyUser = "proxyUser";
inline constexpr const char* proxyPassword = "proxyPassword";
inline constexpr const char* keepOuttime = "keepOuttime";
inline constexpr const char* keepRecordno = "keepRecordno";
inline constexpr const char* keepUser = "keepUser";
inline constexpr const char* keepWorkEnds = "keepWorkEnds";
// Which credentials the keyring holds rather than the file.
inline constexpr const char* keyringKeys = "keyringKeys";

inline constexpr std::array<std::string_view, 8> connectionKeys{subDomain, topLevelDomain, authCode,  appID,
                                                                fieldIn,   fieldOut,       fieldUser, fieldUserDisplay};
inline constexpr std::array<std::string_view, 4> proxyKeys{proxyHost, proxyPort, proxyUser, proxyPassword};
// The keys whose values are credentials: kept in the desktop's keyring where there is one.
inline constexpr std::array<std::string_view, 2> secretKeys{authCode, proxyPassword};
inline constexpr std::array<std::string_view, 4> workStateKeys{keepOuttime, keepRecordno, keepUser, keepWorkEnds};
// Names of the auth-code window's inputs; nothing is ever stored under them.
inline constexpr const char* loginName = "loginName";
inline constexpr const char* loginPassword = "loginPassword";

// "fieldIn" -> "fieldInType"
std::string typeKey(std::string_view fieldKey);

// Stores the empty text under every connection key, then every proxy key, that holds nothing yet.
void seed(SettingsStore& store);

} // namespace SettingsKeys
} // namespace stampo
