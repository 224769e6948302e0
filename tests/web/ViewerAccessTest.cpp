// Who may watch: each rule against what a request brings, the failures that
// shut one address out and no other, a rule changed under viewers already
// in, and the parsers of what requests carry.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "web/HttpServer.h"
#include "web/ViewerAccess.h"

namespace {

using namespace std::chrono_literals;

const std::string kToken = "00112233445566778899aabbccddeeff";
const std::string kOldToken = "ffeeddccbbaa99887766554433221100";

// "viewer:PASSWORD" as a request head's Authorization line.
std::string Basic(const std::string& userAndPassword) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < userAndPassword.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(userAndPassword[i]) << 16;
        if (i + 1 < userAndPassword.size())
            value |= static_cast<unsigned char>(userAndPassword[i + 1]) << 8;
        if (i + 2 < userAndPassword.size())
            value |= static_cast<unsigned char>(userAndPassword[i + 2]);
        out += digits[(value >> 18) & 63];
        out += digits[(value >> 12) & 63];
        out += i + 1 < userAndPassword.size() ? digits[(value >> 6) & 63] : '=';
        out += i + 2 < userAndPassword.size() ? digits[value & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

std::string Head(const std::string& target, const std::string& lines = "") {
    return "GET " + target + " HTTP/1.0\r\nUser-Agent: test\r\n" + lines + "\r\n";
}

// One hash for the whole file: each costs some tens of milliseconds.
const std::string& PasswordHash() {
    static const std::string hash = HashViewerPassword("s3cret words");
    return hash;
}

AccessSettings Rule(ViewerRule rule) {
    AccessSettings settings;
    settings.viewers = rule;
    settings.token = kToken;
    settings.passwordHash = PasswordHash();
    return settings;
}

TEST(ViewerAccessTest, EachRuleLetsInWhatItShouldAndNothingElse) {
    ASSERT_EQ(PasswordHash().rfind("$argon2id$", 0), 0u);
    struct Case {
        const char* name;
        ViewerRule rule;
        std::string target;
        std::string lines;
        int status;
    };
    const std::string right = Basic("viewer:s3cret words");
    const std::string wrong = Basic("viewer:guess");
    const std::vector<Case> cases = {
        {"everyone: nothing", ViewerRule::kEveryone, "/", "", 200},
        {"everyone: a wrong token changes nothing", ViewerRule::kEveryone, "/?invite=" + kOldToken,
         "", 200},
        {"invite: nothing", ViewerRule::kInvite, "/", "", 403},
        {"invite: the link", ViewerRule::kInvite, "/?invite=" + kToken, "", 200},
        {"invite: the link among other values", ViewerRule::kInvite,
         "/live.webm?x=1&invite=" + kToken + "&t=5", "", 200},
        {"invite: an old link", ViewerRule::kInvite, "/?invite=" + kOldToken, "", 403},
        {"invite: a cut link", ViewerRule::kInvite, "/?invite=" + kToken.substr(0, 31), "", 403},
        {"invite: a link wrong in its last digit", ViewerRule::kInvite,
         "/?invite=" + kToken.substr(0, 31) + "0", "", 403},
        {"invite: the link in another key", ViewerRule::kInvite, "/?t=" + kToken, "", 403},
        {"invite: a password does not stand for the link", ViewerRule::kInvite, "/", right, 403},
        {"password: nothing asks for it", ViewerRule::kPassword, "/MyFile.wma", "", 401},
        {"password: the right one", ViewerRule::kPassword, "/MyFile.wma", right, 200},
        {"password: any user name", ViewerRule::kPassword, "/", Basic("me:s3cret words"), 200},
        {"password: a wrong one", ViewerRule::kPassword, "/", wrong, 401},
        {"password: no colon", ViewerRule::kPassword, "/", Basic("s3cret words"), 401},
        {"password: not base64", ViewerRule::kPassword, "/", "Authorization: Basic ***\r\n", 401},
        {"password: another scheme", ViewerRule::kPassword, "/",
         "Authorization: Bearer " + kToken + "\r\n", 401},
        {"password: the link serves players without one", ViewerRule::kPassword,
         "/MyFile.wma?invite=" + kToken, "", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewerAccess access(Rule(c.rule));
        const AccessAnswer answer = access.Admit("192.0.2.1", c.target, Head(c.target, c.lines));
        EXPECT_EQ(answer.status, c.status);
        if (c.status == 401) {
            EXPECT_NE(answer.headers.find("WWW-Authenticate: Basic realm=\"Lumacast\""),
                      std::string::npos);
        }
        if (c.status != 200) {
            const std::string response = answer.Response();
            EXPECT_EQ(response.rfind("HTTP/1.0 " + std::to_string(c.status) + " ", 0), 0u);
            EXPECT_NE(response.find("Referrer-Policy: no-referrer\r\n"), std::string::npos);
            // The refusal never repeats what was presented.
            EXPECT_EQ(response.find(kToken), std::string::npos);
        }
    }
}

TEST(ViewerAccessTest, TenFailuresShutOneAddressOutForAWhileAndNoOther) {
    ViewerAccess access(Rule(ViewerRule::kInvite));
    const auto start = ViewerAccess::Clock::now();
    const std::string wrong = "/?invite=" + kOldToken;
    const std::string right = "/?invite=" + kToken;
    for (int i = 0; i < ViewerAccess::kFailuresAllowed; ++i)
        EXPECT_EQ(access.Admit("192.0.2.7", wrong, Head(wrong), start + i * 1s).status, 403);
    // Now even the right link is refused from there, and only from there.
    EXPECT_EQ(access.Admit("192.0.2.7", right, Head(right), start + 11s).status, 429);
    EXPECT_EQ(access.Admit("192.0.2.8", right, Head(right), start + 11s).status, 200);
    EXPECT_EQ(access.Admit("192.0.2.7", right, Head(right), start + 9s + 61s).status, 200);

    // Failures spread wider than the window never add up to a refusal.
    for (int i = 0; i < 3 * ViewerAccess::kFailuresAllowed; ++i)
        access.Admit("192.0.2.9", wrong, Head(wrong), start + i * 7s);
    EXPECT_EQ(access.Admit("192.0.2.9", right, Head(right), start + 300s).status, 200);
    // Asking without anything is no failure.
    for (int i = 0; i < 3 * ViewerAccess::kFailuresAllowed; ++i)
        access.Admit("192.0.2.10", "/", Head("/"), start);
    EXPECT_EQ(access.Admit("192.0.2.10", right, Head(right), start).status, 200);
}

TEST(ViewerAccessTest, AThousandWrongPasswordsLeaveAnotherAddressServedAtOnce) {
    ViewerAccess access(Rule(ViewerRule::kPassword));
    const std::string wrong = Head("/", Basic("viewer:guess"));
    for (int i = 0; i < 1000; ++i) {
        const int status = access.Admit("198.51.100.1", "/", wrong).status;
        ASSERT_TRUE(status == 401 || status == 429) << status;
    }
    EXPECT_EQ(access.Admit("198.51.100.1", "/", wrong).status, 429);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(access.Admit("198.51.100.2", "/", Head("/", Basic("viewer:s3cret words"))).status,
              200);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
}

TEST(ViewerAccessTest, AChangedRuleIsAskedAgainOfViewersAlreadyIn) {
    ViewerAccess access(Rule(ViewerRule::kInvite));
    const std::string link = "/live.webm?invite=" + kToken;
    const std::string password = Head("/", Basic("viewer:s3cret words"));
    EXPECT_TRUE(access.StillAdmitted(link, Head(link)));
    // A new link ends the old one.
    AccessSettings fresh = Rule(ViewerRule::kInvite);
    fresh.token = kOldToken;
    access.SetSettings(fresh);
    EXPECT_FALSE(access.StillAdmitted(link, Head(link)));
    // A password viewer stays while the password does, and goes with it.
    fresh.viewers = ViewerRule::kPassword;
    access.SetSettings(fresh);
    ASSERT_TRUE(access.Admit("192.0.2.1", "/", password).Admitted());
    EXPECT_TRUE(access.StillAdmitted("/", password));
    fresh.passwordHash = HashViewerPassword("other");
    access.SetSettings(fresh);
    EXPECT_FALSE(access.StillAdmitted("/", password));
    fresh.viewers = ViewerRule::kEveryone;
    access.SetSettings(fresh);
    EXPECT_TRUE(access.StillAdmitted(link, Head(link)));
}

TEST(ViewerAccessTest, TokensAreFreshAndPasswordsAreKeptSalted) {
    const std::string a = NewInviteToken(), b = NewInviteToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_NE(HashViewerPassword("same"), HashViewerPassword("same"));
    EXPECT_EQ(HashViewerPassword("same").find("same"), std::string::npos);
}

TEST(RequestPartsTest, QueriesHeadersAndBasicCredentialsAreReadAsSent) {
    EXPECT_EQ(QueryValue("/a?invite=1&b=2", "invite"), "1");
    EXPECT_EQ(QueryValue("/a?b=2&invite=", "invite"), "");
    EXPECT_EQ(QueryValue("/a?xinvite=1", "invite"), "");
    EXPECT_EQ(QueryValue("/a?invite=1#frag", "invite"), "1");
    EXPECT_EQ(QueryValue("/a", "invite"), "");
    EXPECT_EQ(PathOf("/index.htm?invite=1"), "/index.htm");
    const std::string head = "GET / HTTP/1.0\r\nauthorization:  Basic dTpw \r\nX: y\r\n\r\n";
    EXPECT_EQ(HeaderValue(head, "Authorization"), "Basic dTpw");
    EXPECT_EQ(HeaderValue(head, "Missing"), "");
    // The request line is no header, whatever it holds.
    EXPECT_EQ(HeaderValue("GET /Authorization: x HTTP/1.0\r\n\r\n", "GET /Authorization"), "");
    std::string user, password;
    ASSERT_TRUE(BasicCredentials("basic dTpwOnE=", &user, &password));
    EXPECT_EQ(user, "u");
    EXPECT_EQ(password, "p:q");  // a password may hold colons
    EXPECT_FALSE(BasicCredentials("Basic ", &user, &password));
    EXPECT_FALSE(BasicCredentials("Basic " + std::string(2000, 'A'), &user, &password));
    EXPECT_FALSE(BasicCredentials("Digest dTpw", &user, &password));
}

// The web server asks the rule for every file but the status pages, and
// says no in the rule's words.
TEST(GatedPagesTest, OnlyTheStatusPagesAreOpenToAll) {
    ViewerAccess access(Rule(ViewerRule::kInvite));
    HttpServer server(ServedFiles{{"index.htm", "fnf.html", "mna.html"}, {}}, {});
    server.SetViewerAccess(&access);
    struct Case {
        std::string request;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"GET / HTTP/1.0\r\n\r\n", "403 Forbidden"},
        {"GET /index.htm HTTP/1.0\r\n\r\n", "403 Forbidden"},
        {"GET /?invite=" + kToken + " HTTP/1.0\r\n\r\n", "404 Resource not found"},
        {"GET /fnf.html HTTP/1.0\r\n\r\n", "404 Resource not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        ServerResponse response;
        int keepAlive = 1;
        ASSERT_TRUE(server.ParseRequest(c.request, response, keepAlive, "192.0.2.1"));
        EXPECT_EQ(response.head.substr(0, response.head.find("\r\n")), "HTTP/1.0 " + c.status);
        EXPECT_NE(response.head.find("Referrer-Policy: no-referrer\r\n"), std::string::npos);
    }
}

}  // namespace
