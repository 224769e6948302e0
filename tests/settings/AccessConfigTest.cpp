// access.cfg: what it reads, what it refuses, and what it keeps on rewrite.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/AccessConfig.h"

namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

TEST(AccessConfigText, ReadsTheRuleAndKeepsOtherLines) {
    AccessConfig config;
    ASSERT_TRUE(config.Parse("# mine\nviewers=password\ntoken=" + kToken +
                                 "\nlater=1\npassword=$argon2id$v=19$m=19456,t=2,p=1$x$y\n",
                             nullptr));
    EXPECT_EQ(config.Settings().viewers, ViewerRule::kPassword);
    EXPECT_EQ(config.Settings().token, kToken);
    AccessSettings changed = config.Settings();
    changed.viewers = ViewerRule::kInvite;
    changed.passwordHash.clear();
    config.SetSettings(changed);
    EXPECT_EQ(config.Text(), "# mine\nviewers=invite\ntoken=" + kToken +
                                 "\nlater=1\npassword=\ntls=0\ncertificate=\nkey=\n");
    // A file without the rule is one that lets everyone in.
    ASSERT_TRUE(config.Parse("", nullptr));
    EXPECT_EQ(config.Settings().viewers, ViewerRule::kEveryone);
}

TEST(AccessConfigText, DamagedFilesAreRefusedWithTheirLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"viewers=friends\n", "line 1: viewers= must be everyone, invite or password"},
        {"viewers=invite\ntoken=12ab\n", "line 2: token= must be 32 to 128 hex digits"},
        {"token=" + std::string(32, 'g') + "\n", "line 1: token= must be 32 to 128 hex digits"},
        {"password=plain words\n", "line 1: password= must be an Argon2id hash"},
        {"viewers=invite\nviewers=everyone\n", "line 2: viewers= given twice"},
        {"tls=yes\n", "line 1: tls= must be 0 or 1"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        AccessConfig config;
        std::string error;
        EXPECT_FALSE(config.Parse(text, &error));
        EXPECT_EQ(error, message);
    }
}

}  // namespace
