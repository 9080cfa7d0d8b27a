#pragma once

#include <curl/curl.h>

namespace stampo {

// libcurl's entry points, loaded at the first request rather than linked: libcurl with its TLS, Kerberos, LDAP and
// SSH libraries adds about 8 ms to every start of the program, before the tray icon could show, and nearly 10 MB
// to a process that has not sent anything yet.
class CurlLibrary final {
public:
    // The process's one copy, loaded and initialised on the first call from any thread. Null when libcurl cannot be
    // loaded or initialised; requests then fail as when libcurl cannot make a handle.
    static const CurlLibrary* instance();

    decltype(&::curl_easy_init) easyInit = nullptr;
    decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&::curl_easy_reset) easyReset = nullptr;
    decltype(&::curl_easy_setopt) easySetopt = nullptr;
    decltype(&::curl_easy_perform) easyPerform = nullptr;
    decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&::curl_slist_append) slistAppend = nullptr;
    decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
    decltype(&::curl_share_init) shareInit = nullptr;
    decltype(&::curl_share_setopt) shareSetopt = nullptr;
    decltype(&::curl_share_cleanup) shareCleanup = nullptr;
};

} // namespace stampo
