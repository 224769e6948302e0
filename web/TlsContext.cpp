#include "web/TlsContext.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "settings/FileReplace.h"

namespace {

// Mozilla's "intermediate" server configuration: these for TLS 1.2, the
// library's own three for TLS 1.3, and these curves.
constexpr const char* kCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kSuites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:prime256v1:secp384r1";

constexpr const char* kOwnCertificate = "tls-certificate.pem";
constexpr const char* kOwnKey = "tls-key.pem";
// Apple's devices refuse a server certificate that is valid for longer.
constexpr long kOwnValidDays = 825;

std::string OpenSslError(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + " (" + text + ")";
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct timespec ChangeTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return info.st_mtim;
}

std::string PemOf(int (*write)(BIO*, void*), void* object) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return {};
    std::string text;
    if (write(bio, object)) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        text.assign(data, static_cast<std::size_t>(size));
    }
    BIO_free(bio);
    return text;
}

int WriteKey(BIO* bio, void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                    nullptr);
}
int WriteCertificate(BIO* bio, void* certificate) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(certificate));
}

bool AddExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// Makes the program's own certificate and key in the two files.
bool MakeOwnCertificate(const std::string& certificatePath, const std::string& keyPath,
                        const std::vector<std::string>& names, std::string* error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    bool made = key && certificate;
    unsigned char serial[16];
    made = made && RAND_bytes(serial, sizeof serial) == 1;
    serial[0] &= 0x7F;  // a positive number
    if (made) {
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
        BN_free(number);
    }
    std::string alternatives;
    for (const std::string& name : names) {
        in6_addr address{};
        if (!alternatives.empty()) alternatives += ',';
        const bool ip = inet_pton(AF_INET, name.c_str(), &address) == 1 ||
                        inet_pton(AF_INET6, name.c_str(), &address) == 1;
        alternatives += (ip ? "IP:" : "DNS:") + name;
    }
    const std::string commonName = "Lumacast on " + (names.size() > 1 ? names[1] : names.front());
    made = made && X509_set_version(certificate, 2) &&
           X509_gmtime_adj(X509_getm_notBefore(certificate), -24 * 3600) &&
           X509_gmtime_adj(X509_getm_notAfter(certificate), kOwnValidDays * 24 * 3600) &&
           X509_set_pubkey(certificate, key);
    if (made) {
        X509_NAME* subject = X509_get_subject_name(certificate);
        made = X509_NAME_add_entry_by_txt(
                   subject, "CN", MBSTRING_UTF8,
                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) &&
               X509_set_issuer_name(certificate, subject);
    }
    made = made && AddExtension(certificate, NID_basic_constraints, "critical,CA:FALSE") &&
           AddExtension(certificate, NID_key_usage, "critical,digitalSignature") &&
           AddExtension(certificate, NID_ext_key_usage, "serverAuth") &&
           AddExtension(certificate, NID_subject_alt_name, alternatives) &&
           X509_sign(certificate, key, EVP_sha256()) > 0;
    std::string keyText, certificateText;
    if (made) {
        keyText = PemOf(&WriteKey, key);
        certificateText = PemOf(&WriteCertificate, certificate);
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!made || keyText.empty() || certificateText.empty()) {
        *error = OpenSslError("Cannot make a certificate for this computer");
        return false;
    }
    // The key first: a certificate without its key is of no use.
    if (!ReplaceFile(keyPath, keyText.data(), keyText.size()) ||
        !ReplaceFile(certificatePath, certificateText.data(), certificateText.size())) {
        *error = "Cannot save the certificate for this computer in " + certificatePath;
        return false;
    }
    return true;
}

SslContextPtr NewContext(const std::string& certificate, const std::string& key,
                         std::string* error) {
    SslContextPtr context(SSL_CTX_new(TLS_server_method()));
    if (!context) {
        *error = OpenSslError("Cannot start TLS");
        return {};
    }
    SSL_CTX* c = context.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_options(c, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_dh_auto(c, 1);
    if (SSL_CTX_set_cipher_list(c, kCiphers) != 1 || SSL_CTX_set_ciphersuites(c, kSuites) != 1 ||
        SSL_CTX_set1_groups_list(c, kGroups) != 1) {
        *error = OpenSslError("Cannot set the TLS ciphers");
        return {};
    }
    if (SSL_CTX_use_certificate_chain_file(c, certificate.c_str()) != 1) {
        *error = OpenSslError("Cannot read the certificate " + certificate);
        return {};
    }
    if (SSL_CTX_use_PrivateKey_file(c, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *error = OpenSslError("Cannot read the private key " + key);
        return {};
    }
    if (SSL_CTX_check_private_key(c) != 1) {
        *error = OpenSslError("The private key " + key + " is not the certificate's");
        return {};
    }
    return context;
}

std::string FingerprintOf(SSL_CTX* context) {
    X509* certificate = SSL_CTX_get0_certificate(context);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
    std::string text;
    char byte[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? ":%02X" : "%02X", digest[i]);
        text += byte;
    }
    return text;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Open(const std::string& certificate, const std::string& key,
                                             const std::string& ownFolder,
                                             const std::vector<std::string>& names,
                                             std::string* error) {
    std::unique_ptr<TlsContext> tls(new TlsContext);
    tls->certificate_ = certificate;
    tls->key_ = key;
    if (certificate.empty() != key.empty()) {
        *error = "A certificate of your own needs both its file and its key's file";
        return nullptr;
    }
    if (certificate.empty()) {
        tls->certificatePath_ = ownFolder + kOwnCertificate;
        tls->keyPath_ = ownFolder + kOwnKey;
        if ((::access(tls->certificatePath_.c_str(), F_OK) != 0 ||
             ::access(tls->keyPath_.c_str(), F_OK) != 0) &&
            !MakeOwnCertificate(tls->certificatePath_, tls->keyPath_, names, error))
            return nullptr;
    } else {
        tls->certificatePath_ = certificate;
        tls->keyPath_ = key;
    }
    std::lock_guard lock(tls->mutex_);
    if (!tls->Load(error)) return nullptr;
    return tls;
}

bool TlsContext::Load(std::string* error) {
    const struct timespec certificateTime = ChangeTime(certificatePath_);
    const struct timespec keyTime = ChangeTime(keyPath_);
    SslContextPtr context = NewContext(certificatePath_, keyPath_, error);
    if (!context) return false;
    fingerprint_ = FingerprintOf(context.get());
    context_ = std::move(context);
    certificateTime_ = certificateTime;
    keyTime_ = keyTime;
    return true;
}

SslContextPtr TlsContext::Current() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!SelfSigned() && now - lastLook_ >= kRecheck) {
        lastLook_ = now;
        if (!SameTime(ChangeTime(certificatePath_), certificateTime_) ||
            !SameTime(ChangeTime(keyPath_), keyTime_)) {
            // A pair caught half written fails to load; the next look
            // takes it once both are in place.
            std::string ignored;
            Load(&ignored);
        }
    }
    SSL_CTX_up_ref(context_.get());
    return SslContextPtr(context_.get());
}

std::string TlsContext::Fingerprint() {
    std::lock_guard lock(mutex_);
    return fingerprint_;
}

std::vector<std::string> CertificateNames(const std::vector<std::string>& addresses) {
    std::vector<std::string> names{"localhost"};
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] && std::string(host) != "localhost")
        names.emplace_back(host);
    names.emplace_back("127.0.0.1");
    for (const std::string& address : addresses) {
        if (address != "127.0.0.1") names.push_back(address);
    }
    return names;
}
