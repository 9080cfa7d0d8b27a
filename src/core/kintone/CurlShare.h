#pragma once

#include "kintone/CurlLibrary.h"

#include <array>
#include <mutex>

namespace stampo {

// A libcurl share handle through which concurrent easy handles reuse TLS sessions and DNS answers, made at the first
// request. Connection caches are deliberately not shared: libcurl does not allow that across threads.
class CurlShare final {
public:
    CurlShare() = default;
    ~CurlShare();
    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    // Null when libcurl could not make the handle; requests then simply share nothing. Safe from any thread.
    CURLSH* handle(const CurlLibrary& curl);

private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlock(CURL* handle, curl_lock_data data, void* self);

    std::once_flag m_made;
    CURLSH* m_share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
};

} // namespace stampo
