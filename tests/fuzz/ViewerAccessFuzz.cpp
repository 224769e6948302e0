// Who may watch, on request heads as a client may send them: whatever the
// bytes, a head lets a viewer in only when it carries the invite token or
// the password, every refusal is one of the rule's own, and the parsers of
// its parts never read outside what they were given.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "web/ViewerAccess.h"

namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

ViewerAccess* g_invite = nullptr;
ViewerAccess* g_password = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AccessSettings settings;
    settings.viewers = ViewerRule::kInvite;
    settings.token = kToken;
    g_invite = new ViewerAccess(settings);
    settings.viewers = ViewerRule::kPassword;
    settings.passwordHash = HashViewerPassword("s3cret");
    g_password = new ViewerAccess(settings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string head(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = head.find('\n');
    const std::string line = head.substr(0, lineEnd);
    const std::size_t space = line.find(' ');
    const std::string target =
        space == std::string::npos ? line : line.substr(space + 1, line.find(' ', space + 1));

    const std::string_view query = QueryValue(target, "invite");
    FUZZ_CHECK(query.empty() || target.find(query) != std::string::npos);
    const std::string_view path = PathOf(target);
    FUZZ_CHECK(target.compare(0, path.size(), path) == 0);
    const std::string_view authorization = HeaderValue(head, "Authorization");
    FUZZ_CHECK(authorization.empty() || head.find(authorization) != std::string::npos);
    std::string user, password;
    if (BasicCredentials(authorization, &user, &password))
        FUZZ_CHECK(user.find(':') == std::string::npos);

    const AccessAnswer invited = g_invite->Admit("192.0.2.1", target, head);
    FUZZ_CHECK(invited.status == 200 || invited.status == 403 || invited.status == 429);
    if (invited.Admitted()) FUZZ_CHECK(query == kToken);
    // One address per input: the slow checks' budget is the whole file's,
    // and wrong guesses turn an address away for a minute.
    const std::string address = "198.51.100." + std::to_string(size % 250);
    const AccessAnswer asked = g_password->Admit(address, target, head);
    FUZZ_CHECK(asked.status == 200 || asked.status == 401 || asked.status == 429);
    if (asked.Admitted()) FUZZ_CHECK(query == kToken || password == "s3cret");
    if (!asked.Admitted()) FUZZ_CHECK(asked.Response().rfind("HTTP/1.0 ", 0) == 0);
    return 0;
}
