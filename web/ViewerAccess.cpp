#include "web/ViewerAccess.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/PeerAddress.h"

namespace {

// Argon2id at the cost the OWASP password guidance names as its least: two
// passes over 19 MiB, some tens of milliseconds here.
constexpr unsigned long long kHashPasses = 2;
constexpr std::size_t kHashMemory = 19 * 1024 * 1024;
constexpr std::size_t kMaxAcceptedDigests = 64;
constexpr std::size_t kMaxCredentialBytes = 1024;

constexpr const char* kInviteOnly =
    "This broadcast is for invited viewers: open the whole link you were given.\r\n";
constexpr const char* kPasswordAsked = "This broadcast asks for the viewer password.\r\n";
constexpr const char* kTooManyFailures =
    "Too many wrong attempts from your address: try again in a minute.\r\n";
constexpr const char* kTooManyChecks =
    "Too many password checks at once: try again in a moment.\r\n";

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool SameSecret(std::string_view presented, std::string_view secret) {
    return !secret.empty() && presented.size() == secret.size() &&
           sodium_memcmp(presented.data(), secret.data(), secret.size()) == 0;
}

AccessAnswer Refusal(int status, const char* reason, std::string headers, const char* text) {
    return AccessAnswer{status, reason, std::move(headers), text};
}

}  // namespace

std::string AccessAnswer::Response() const {
    return "HTTP/1.0 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
           "\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-store\r\n" + headers +
           "Connection: close\r\n\r\n" + text;
}

ViewerAccess::ViewerAccess() : ViewerAccess(AccessSettings()) {}

ViewerAccess::ViewerAccess(const AccessSettings& settings) : settings_(settings) {
    if (sodium_init() < 0) std::abort();  // no random source: nothing may be let in by chance
    randombytes_buf(digestKey_, sizeof digestKey_);
}

void ViewerAccess::SetSettings(const AccessSettings& settings) {
    std::lock_guard lock(mutex_);
    if (settings.passwordHash != settings_.passwordHash) acceptedDigests_.clear();
    settings_ = settings;
}

AccessSettings ViewerAccess::Settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

ViewerAccess::Presented ViewerAccess::CheckToken(std::string_view target) const {
    const std::string_view token = QueryValue(target, "invite");
    if (token.empty()) return Presented::kNothing;
    return SameSecret(token, settings_.token) ? Presented::kRight : Presented::kWrong;
}

ViewerAccess::Presented ViewerAccess::CheckPassword(std::string_view head,
                                                    const std::string& address,
                                                    Clock::time_point now) {
    const std::string_view authorization = HeaderValue(head, "Authorization");
    if (authorization.empty()) return Presented::kNothing;
    std::string user, password;
    if (!BasicCredentials(authorization, &user, &password)) return Presented::kWrong;
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest,
                       reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       digestKey_, sizeof digestKey_);
    const std::string key(reinterpret_cast<const char*>(digest), sizeof digest);
    std::string hash;
    {
        std::lock_guard lock(mutex_);
        if (settings_.passwordHash.empty()) return Presented::kWrong;
        if (acceptedDigests_.count(key)) return Presented::kRight;
        if (address.empty()) return Presented::kWrong;
        const auto second = std::chrono::floor<std::chrono::seconds>(now);
        if (second != slowSecond_) {
            slowSecond_ = second;
            slowChecks_ = 0;
        }
        Failures& own = failures_[address];
        if (second != own.slowSecond) {
            own.slowSecond = second;
            own.slowChecks = 0;
        }
        if (slowChecks_ >= kSlowChecksPerSecond || own.slowChecks >= kSlowChecksPerAddressPerSecond)
            return Presented::kBusy;
        ++slowChecks_;
        ++own.slowChecks;
        hash = settings_.passwordHash;
    }
    if (crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) != 0)
        return Presented::kWrong;
    std::lock_guard lock(mutex_);
    if (settings_.passwordHash == hash) {
        if (acceptedDigests_.size() >= kMaxAcceptedDigests) acceptedDigests_.clear();
        acceptedDigests_.insert(key);
    }
    return Presented::kRight;
}

bool ViewerAccess::RefusedNow(const std::string& address, Clock::time_point now) {
    const auto found = failures_.find(address);
    return found != failures_.end() && found->second.refusedUntil > now;
}

void ViewerAccess::CountFailure(const std::string& address, Clock::time_point now) {
    if (failures_.size() >= kMaxAddresses && !failures_.count(address)) {
        // Forget the addresses with nothing recent first, then any.
        std::erase_if(failures_, [&](const auto& entry) {
            const Failures& f = entry.second;
            return f.refusedUntil <= now &&
                   (f.times.empty() || f.times.back() + kFailureWindow <= now);
        });
        if (failures_.size() >= kMaxAddresses) failures_.erase(failures_.begin());
    }
    Failures& failures = failures_[address];
    while (!failures.times.empty() && failures.times.front() + kFailureWindow <= now)
        failures.times.pop_front();
    failures.times.push_back(now);
    if (failures.times.size() >= static_cast<std::size_t>(kFailuresAllowed)) {
        failures.refusedUntil = now + kRefusedFor;
        failures.times.clear();
    }
}

AccessAnswer ViewerAccess::Admit(std::string_view address, std::string_view target,
                                 std::string_view head, Clock::time_point now) {
    // Failures count by the client's address, an IPv6 client's by its /64.
    const std::string who = CountedAddress(address);
    Presented token;
    {
        std::lock_guard lock(mutex_);
        if (settings_.viewers == ViewerRule::kEveryone) return {};
        if (RefusedNow(who, now))
            return Refusal(429, "Too Many Requests", "Retry-After: 60\r\n", kTooManyFailures);
        token = CheckToken(target);
        if (token == Presented::kRight) return {};
        if (settings_.viewers == ViewerRule::kInvite) {
            if (token == Presented::kWrong) CountFailure(who, now);
            return Refusal(403, "Forbidden", "", kInviteOnly);
        }
    }
    const Presented password = CheckPassword(head, who, now);
    if (password == Presented::kRight) return {};
    if (password == Presented::kBusy)
        return Refusal(429, "Too Many Requests", "Retry-After: 1\r\n", kTooManyChecks);
    std::lock_guard lock(mutex_);
    if (token == Presented::kWrong || password == Presented::kWrong) CountFailure(who, now);
    return Refusal(401, "Unauthorized",
                   "WWW-Authenticate: Basic realm=\"Lumacast\", charset=\"UTF-8\"\r\n",
                   kPasswordAsked);
}

bool ViewerAccess::StillAdmitted(std::string_view target, std::string_view head) {
    {
        std::lock_guard lock(mutex_);
        if (settings_.viewers == ViewerRule::kEveryone) return true;
        if (CheckToken(target) == Presented::kRight) return true;
        if (settings_.viewers == ViewerRule::kInvite) return false;
    }
    return CheckPassword(head, std::string(), Clock::now()) == Presented::kRight;
}

std::string_view QueryValue(std::string_view target, std::string_view name) {
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos) return {};
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name)
            return pair.substr(equals + 1);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

std::string_view PathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

std::string_view HeaderValue(std::string_view head, std::string_view name) {
    std::size_t line = head.find('\n');  // past the request line
    while (line != std::string_view::npos) {
        const std::size_t start = line + 1;
        line = head.find('\n', start);
        const std::string_view text = head.substr(
            start, line == std::string_view::npos ? std::string_view::npos : line - start);
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos && EqualNoCase(TrimBlanks(text.substr(0, colon)), name))
            return TrimBlanks(text.substr(colon + 1));
    }
    return {};
}

bool BasicCredentials(std::string_view authorization, std::string* user, std::string* password) {
    const std::size_t space = authorization.find(' ');
    if (space == std::string_view::npos || !EqualNoCase(authorization.substr(0, space), "Basic"))
        return false;
    const std::string_view encoded = TrimBlanks(authorization.substr(space + 1));
    if (encoded.empty() || encoded.size() > kMaxCredentialBytes) return false;
    std::string decoded(encoded.size(), '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(decoded.data()), decoded.size(),
                          encoded.data(), encoded.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    decoded.resize(length);
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

std::string NewInviteToken() {
    if (sodium_init() < 0) std::abort();
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    std::string hex(2 * sizeof bytes + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, sizeof bytes);
    hex.pop_back();
    return hex;
}

std::string HashViewerPassword(std::string_view password) {
    if (sodium_init() < 0) return std::string();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), kHashPasses, kHashMemory,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::string();
    return hash;
}
