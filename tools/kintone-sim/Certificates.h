#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kintonesim {

// Frees an OpenSSL object with its own free function.
template <auto Free> struct OpenSslDeleter {
    template <class T> void operator()(T* object) const { Free(object); }
};
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;

// A throwaway CA and a server certificate it signed, made in memory when the simulator starts.
class Certificates final {
public:
    // Relative to now; a negative notAfter makes an expired certificate.
    struct Validity {
        std::chrono::seconds notBefore;
        std::chrono::seconds notAfter;
    };
    static constexpr Validity usualValidity{std::chrono::hours{-24}, std::chrono::hours{24 * 365}};
    static constexpr Validity expiredValidity{std::chrono::hours{-48}, std::chrono::hours{-24}};

    explicit Certificates(const std::vector<std::string>& serverNames, Validity serverValidity = usualValidity);

    X509* serverCertificate() const { return m_serverCertificate.get(); }
    EVP_PKEY* serverKey() const { return m_serverKey.get(); }
    std::string caPem() const;

private:
    EvpPkeyPtr m_caKey;
    X509Ptr m_caCertificate;
    EvpPkeyPtr m_serverKey;
    X509Ptr m_serverCertificate;
};

} // namespace kintonesim
