#include "kintone/CurlLibrary.h"

#include <dlfcn.h>

#include <optional>

namespace stampo {

namespace {

// The name libcurl's ABI has had since 2006.
constexpr const char* soname = "libcurl.so.4";

template <typename Function> bool resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

std::optional<CurlLibrary> load() {
    // Never closed: libcurl and OpenSSL keep process-wide state until exit.
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return std::nullopt;
    CurlLibrary curl;
    decltype(&::curl_global_init) globalInit = nullptr;
    const bool resolved =
        resolve(library, "curl_global_init", globalInit) && resolve(library, "curl_easy_init", curl.easyInit) &&
        resolve(library, "curl_easy_cleanup", curl.easyCleanup) &&
        resolve(library, "curl_easy_reset", curl.easyReset) && resolve(library, "curl_easy_setopt", curl.easySetopt) &&
        resolve(library, "curl_easy_perform", curl.easyPerform) &&
        resolve(library, "curl_easy_getinfo", curl.easyGetinfo) &&
        resolve(library, "curl_slist_append", curl.slistAppend) &&
        resolve(library, "curl_slist_free_all", curl.slistFreeAll) &&
        resolve(library, "curl_share_init", curl.shareInit) &&
        resolve(library, "curl_share_setopt", curl.shareSetopt) &&
        resolve(library, "curl_share_cleanup", curl.shareCleanup);
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
