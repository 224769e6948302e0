#pragma once
// TLS for the servers' ports: TLS 1.2 and 1.3 only, with the cipher choice
// of Mozilla's "intermediate" configuration. The certificate is the user's
// (PEM files such as Let's Encrypt's fullchain.pem and privkey.pem), read
// again when either file changes on disk, or one of the program's own: a
// self-signed ECDSA P-256 certificate made on the first start for this
// machine's names and addresses, kept beside the settings. Connections take
// the context current at their start, so a new certificate never drops a
// viewer. Thread-safe.

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SslCtxRelease {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslCtxRelease>;

class TlsContext {
  public:
    // certificate and key: the user's PEM files; both empty for the
    // program's own certificate, which lives in ownFolder (made there, the
    // key the user's alone, when it is missing). names: what the own
    // certificate is for (host names and IP addresses, as text). Null, with
    // error, when nothing usable can be had.
    static std::unique_ptr<TlsContext> Open(const std::string& certificate, const std::string& key,
                                            const std::string& ownFolder,
                                            const std::vector<std::string>& names,
                                            std::string* error);

    // A new reference to the context for a connection starting now. The
    // files are looked at again at most once a second; a changed pair that
    // loads takes over, one that does not leaves the last one in force.
    SslContextPtr Current();

    // The SHA-256 fingerprint of the certificate in force, as the browsers
    // show it ("AB:CD:...").
    std::string Fingerprint();
    // The certificate in force is the program's own.
    bool SelfSigned() const { return certificate_.empty(); }

    // How often the user's files are looked at for a change.
    static constexpr auto kRecheck = std::chrono::seconds(1);

  private:
    TlsContext() = default;
    bool Load(std::string* error);  // under mutex_

    std::string certificate_, key_;          // the user's, or "" for our own
    std::string certificatePath_, keyPath_;  // the files in force
    std::mutex mutex_;
    SslContextPtr context_;  // under mutex_
    std::string fingerprint_;
    struct timespec certificateTime_ {
    }, keyTime_{};
    std::chrono::steady_clock::time_point lastLook_{};
};

// The names the program's own certificate is made for: localhost, this
// machine's host name, 127.0.0.1 and its IPv4 addresses (as given).
std::vector<std::string> CertificateNames(const std::vector<std::string>& addresses);
