#include "Certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace kintonesim {
namespace {

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;

void check(bool ok, const char* what) {
    if (ok)
        return;
    std::array<char, 256> reason{};
    ERR_error_string_n(ERR_get_error(), reason.data(), reason.size());
    throw std::runtime_error(std::string("certificate: ") + what + ": " + reason.data());
}

EvpPkeyPtr makeKey() {
    // P-256 rather than RSA: key generation is fast enough to do for every simulator a test starts.
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

bool isIpAddress(const std::string& name) {
    std::array<unsigned char, 16> address{};
    return inet_pton(AF_INET, name.c_str(), address.data()) == 1 ||
           inet_pton(AF_INET6, name.c_str(), address.data()) == 1;
}

// "DNS:a,DNS:b", with "IP:" for names that are addresses so a test may also reach 127.0.0.1 by address.
std::string subjectAltNames(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        if (!text.empty())
            text += ',';
        text += (isIpAddress(name) ? "IP:" : "DNS:") + name;
    }
    return text;
}

struct Extension {
    int nid;
    std::string value;
};

// A certificate for `key`, signed by `issuerKey`; self-signed when `issuer` is null.
X509Ptr makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
                        Certificates::Validity validity, const std::vector<Extension>& extensions) {
    X509Ptr certificate(X509_new());
    check(certificate != nullptr, "allocation");
    X509* cert = certificate.get();
    check(X509_set_version(cert, X509_VERSION_3) == 1, "version");

    BignumPtr serial(BN_new());
    check(serial && BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1, "serial");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr, "serial");

    check(X509_gmtime_adj(X509_getm_notBefore(cert), static_cast<long>(validity.notBefore.count())) != nullptr,
          "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(validity.notAfter.count())) != nullptr,
          "notAfter");
    check(X509_set_pubkey(cert, key) == 1, "public key");

    X509_NAME* subject = X509_get_subject_name(cert);
    const auto addEntry = [subject](const char* field, const std::string& value) {
        check(X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
              "subject");
    };
    addEntry("O", "Stampo kintone simulator");
    addEntry("CN", commonName);
    check(X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject) == 1, "issuer");

    for (const auto& [nid, value] : extensions) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        X509V3_set_ctx_nodb(&context);
        ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
        check(extension != nullptr, "extension");
        check(X509_add_ext(cert, extension.get(), -1) == 1, "adding an extension");
    }
    check(X509_sign(cert, issuerKey, EVP_sha256()) > 0, "signing");
    return certificate;
}

} // namespace

Certificates::Certificates(const std::vector<std::string>& serverNames, Validity serverValidity)
    : m_caKey(makeKey())
    , m_caCertificate(makeCertificate(m_caKey.get(), "Stampo kintone simulator test CA", nullptr, m_caKey.get(),
                                      usualValidity,
                                      {{NID_basic_constraints, "critical,CA:TRUE"},
                                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                       {NID_subject_key_identifier, "hash"}}))
    , m_serverKey(makeKey()) {
    if (serverNames.empty())
        throw std::invalid_argument("certificate: no server names");
    m_serverCertificate =
        makeCertificate(m_serverKey.get(), serverNames.front(), m_caCertificate.get(), m_caKey.get(), serverValidity,
                        {{NID_basic_constraints, "critical,CA:FALSE"},
                         {NID_key_usage, "critical,digitalSignature"},
                         {NID_ext_key_usage, "serverAuth"},
                         {NID_subject_key_identifier, "hash"},
                         {NID_authority_key_identifier, "keyid:always"},
                         {NID_subject_alt_name, subjectAltNames(serverNames)}});
}

std::string Certificates::caPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), m_caCertificate.get()) == 1, "PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace kintonesim
