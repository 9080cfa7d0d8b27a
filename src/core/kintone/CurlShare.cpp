#include "kintone/CurlShare.h"

namespace stampo {

// A share handle exists only once libcurl has been loaded.
CurlShare::~CurlShare() {
    if (m_share)
        CurlLibrary::instance()->shareCleanup(m_share);
}

CURLSH* CurlShare::handle(const CurlLibrary& curl) {
    std::call_once(m_made, [this, &curl] {
        CURLSH* share = curl.shareInit();
        if (!share)
            return;
        curl.shareSetopt(share, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
        curl.shareSetopt(share, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
        curl.shareSetopt(share, CURLSHOPT_USERDATA, this);
        curl.shareSetopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl.shareSetopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        m_share = share;
    });
    return m_share;
}

void CurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CurlShare*>(self)->m_locks.at(data).lock();
}

void CurlShare::unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CurlShare*>(self)->m_locks.at(data).unlock();
}

} // namespace stampo
