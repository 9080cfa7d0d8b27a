#include "kintone/CurlShare.h"

namespace stampo {

void ensureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlShare::CurlShare() {
    ensureCurlInitialised();
    m_share = curl_share_init();
    if (!m_share)
        return;
    curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
    curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
    curl_share_setopt(m_share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

CurlShare::~CurlShare() {
    if (m_share)
        curl_share_cleanup(m_share);
}

void CurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CurlShare*>(self)->m_locks.at(data).lock();
}

void CurlShare::unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CurlShare*>(self)->m_locks.at(data).unlock();
}

} // namespace stampo
