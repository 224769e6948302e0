#pragma once
// Who may watch: the one place that every port asks about a viewer's
// request (the page, the stream, the browser rendition and every later
// output). The rule comes from the access settings: everyone; whoever brings
// the invite link's token (invite= in the address); or whoever knows the viewer
// password (HTTP Basic, the browser's own prompt and user:password@ in a
// player's address), the link's token counting as well for players that
// cannot send a password. Tokens and password digests are compared in
// constant time; a password is checked against its salted Argon2id hash.
//
// An address whose wrong attempts reach kFailuresAllowed within
// kFailureWindow is refused (429) for kRefusedFor, whatever it brings;
// other addresses are served as before. Thread-safe.

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "settings/AccessConfig.h"

// The answer to a viewer's request.
struct AccessAnswer {
    int status = 200;     // 200 lets it in; else 401, 403 or 429
    std::string reason;   // the status line's text
    std::string headers;  // header lines of the refusal, each ending in CR LF
    std::string text;     // what the refusal says to the person

    bool Admitted() const { return status == 200; }
    // The whole response of a refusal, for a server that adds nothing of
    // its own to it.
    std::string Response() const;
};

class ViewerAccess {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kFailuresAllowed = 10;
    static constexpr auto kFailureWindow = std::chrono::minutes(1);
    static constexpr auto kRefusedFor = std::chrono::minutes(1);
    // Addresses whose failures are remembered; beyond it the oldest go.
    static constexpr std::size_t kMaxAddresses = 4096;
    // Password checks that are not answered from the digests of passwords
    // already accepted, in all addresses: each costs tens of milliseconds
    // of the thread that asks.
    static constexpr int kSlowChecksPerSecond = 8;
    // Of those, what one address may take: an address that guesses leaves
    // the rest to others.
    static constexpr int kSlowChecksPerAddressPerSecond = 2;

    ViewerAccess();
    explicit ViewerAccess(const AccessSettings& settings);

    void SetSettings(const AccessSettings& settings);
    AccessSettings Settings() const;

    // A viewer's request: target is its path with the query, head the
    // whole request head (for its Authorization line), address the
    // client's. Wrong credentials count against the address.
    AccessAnswer Admit(std::string_view address, std::string_view target, std::string_view head,
                       Clock::time_point now = Clock::now());
    // Whether a viewer let in by this request is let in by the rule now in
    // force (after a change of it); counts nothing, waits for no check.
    bool StillAdmitted(std::string_view target, std::string_view head);

  private:
    enum class Presented { kNothing, kRight, kWrong, kBusy };
    Presented CheckToken(std::string_view target) const;  // under mutex_
    // address: whose budget of slow checks it takes; empty for none (then a
    // password not accepted before counts as wrong). Takes mutex_.
    Presented CheckPassword(std::string_view head, const std::string& address,
                            Clock::time_point now);
    bool RefusedNow(const std::string& address, Clock::time_point now);    // under mutex_
    void CountFailure(const std::string& address, Clock::time_point now);  // under mutex_

    mutable std::mutex mutex_;
    AccessSettings settings_;
    // Keyed digests of passwords that passed the slow check since the
    // settings last changed.
    std::set<std::string> acceptedDigests_;
    unsigned char digestKey_[32];
    struct Failures {
        std::deque<Clock::time_point> times;
        Clock::time_point refusedUntil{};
        Clock::time_point slowSecond{};
        int slowChecks = 0;
    };
    std::unordered_map<std::string, Failures> failures_;
    Clock::time_point slowSecond_{};
    int slowChecks_ = 0;
};

// The raw value of name= in target's query; empty when there is none.
std::string_view QueryValue(std::string_view target, std::string_view name);
// target without its query: what a log may show of it.
std::string_view PathOf(std::string_view target);
// The value of the header line name (any case) in a request head; empty
// when there is none.
std::string_view HeaderValue(std::string_view head, std::string_view name);
// The user and password of an Authorization: Basic value; false for any
// other value or one that does not decode.
bool BasicCredentials(std::string_view authorization, std::string* user, std::string* password);

// A fresh invite token: 128 bits from the system's random source, as 32 hex
// digits.
std::string NewInviteToken();
// The salted Argon2id hash of a viewer password; "" when it cannot be made.
std::string HashViewerPassword(std::string_view password);
