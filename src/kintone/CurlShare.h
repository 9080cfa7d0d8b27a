#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace stampo {

// A libcurl share handle through which concurrent easy handles reuse TLS sessions and DNS answers.
// Connection caches are deliberately not shared: libcurl does not allow that across threads.
class CurlShare final {
public:
    CurlShare();
    ~CurlShare();
    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    // Null when libcurl could not make the handle; requests then simply share nothing.
    CURLSH* handle() const { return m_share; }

private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlock(CURL* handle, curl_lock_data data, void* self);

    CURLSH* m_share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
};

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Initialises libcurl once per process; safe from any thread.
void ensureCurlInitialised();

} // namespace stampo
