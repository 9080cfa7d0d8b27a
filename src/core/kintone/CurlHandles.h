#pragma once

#include "kintone/CurlLibrary.h"

#include <memory>

namespace stampo {

// Owners of libcurl's easy handles and header lists, freed through the library loaded at the first request.
struct CurlEasyDeleter {
    void operator()(CURL* handle) const { CurlLibrary::instance()->easyCleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { CurlLibrary::instance()->slistFreeAll(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

} // namespace stampo
