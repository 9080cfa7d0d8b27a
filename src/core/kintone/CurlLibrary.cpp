#include "kintone/CurlLibrary.h"

#include "util/SharedLibrary.h"

#include <optional>

namespace stampo {

namespace {

// The name libcurl's ABI has had since 2006.
constexpr const char* soname = "libcurl.so.4";

std::optional<CurlLibrary> load() {
    const SharedLibrary library(soname);
    CurlLibrary curl;
    decltype(&::curl_global_init) globalInit = nullptr;
    bool resolved = library.loaded();
    library.resolve("curl_global_init", globalInit, resolved);
    library.resolve("curl_easy_init", curl.easyInit, resolved);
    library.resolve("curl_easy_cleanup", curl.easyCleanup, resolved);
    library.resolve("curl_easy_reset", curl.easyReset, resolved);
    library.resolve("curl_easy_setopt", curl.easySetopt, resolved);
    library.resolve("curl_easy_perform", curl.easyPerform, resolved);
    library.resolve("curl_easy_getinfo", curl.easyGetinfo, resolved);
    library.resolve("curl_slist_append", curl.slistAppend, resolved);
    library.resolve("curl_slist_free_all", curl.slistFreeAll, resolved);
    library.resolve("curl_share_init", curl.shareInit, resolved);
    library.resolve("curl_share_setopt", curl.shareSetopt, resolved);
    library.resolve("curl_share_cleanup", curl.shareCleanup, resolved);
    if (!resolved || globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return std::nullopt;
    return curl;
}

} // namespace

const CurlLibrary* CurlLibrary::instance() {
    static const std::optional<CurlLibrary> curl = load();
    return curl ? &*curl : nullptr;
}

} // namespace stampo
