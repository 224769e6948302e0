#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "settings/RelayConfig.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

TEST(RelayConfigText, ReadsValuesAndKeepsEveryOtherLineOnRewrite) {
    struct Case {
        const char* name;
        std::string text;
        RelaySettings read;
        RelaySettings written;
        std::string rewritten;
    };
    const std::vector<Case> cases = {
        {"empty file gets every key",
         "",
         {},
         {"rtmp://h/live/k", true, ""},
         "url=rtmp://h/live/k\npublish=1\nhls=\n"},
        {"comments, blank lines and unknown keys stay in place",
         "# my relay\n\nurl=rtmp://a/live/old\nbitrate=900\n  # indented\npublish=0\n",
         {"rtmp://a/live/old", false, ""},
         {"rtmp://b/live/new", true, "http://edge/hls/s.m3u8"},
         "# my relay\n\nurl=rtmp://b/live/new\nbitrate=900\n  # indented\npublish=1\n"
         "hls=http://edge/hls/s.m3u8\n"},
        {"blanks around keys and values, CRLF and no final newline",
         " url = rtmp://a/live/k \r\npublish= 1\r\nhls=http://e/x.m3u8",
         {"rtmp://a/live/k", true, "http://e/x.m3u8"},
         {"rtmp://a/live/k", false, ""},
         "url=rtmp://a/live/k\npublish=0\nhls=\n"},
        {"a value may hold '=' and '#'",
         "url=rtmp://a/live/s?key=a#b=c\n",
         {"rtmp://a/live/s?key=a#b=c", false, ""},
         {"rtmp://a/live/s?key=a#b=c", false, ""},
         "url=rtmp://a/live/s?key=a#b=c\npublish=0\nhls=\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelayConfig config;
        std::string error;
        ASSERT_TRUE(config.Parse(c.text, &error)) << error;
        EXPECT_EQ(config.Settings().url, c.read.url);
        EXPECT_EQ(config.Settings().publish, c.read.publish);
        EXPECT_EQ(config.Settings().hls, c.read.hls);
        config.SetSettings(c.written);
        EXPECT_EQ(config.Text(), c.rewritten);
        // What was written reads back as the same values and the same text.
        RelayConfig again;
        ASSERT_TRUE(again.Parse(config.Text(), &error)) << error;
        EXPECT_EQ(again.Settings().url, c.written.url);
        EXPECT_EQ(again.Settings().publish, c.written.publish);
        EXPECT_EQ(again.Text(), c.rewritten);
    }
}

TEST(RelayConfigText, DamagedFilesAreRefusedWithTheirLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"url=rtmp://a/live/k\njust words\n", "line 2: not a comment and not key=value"},
        {"publish=yes\n", "line 1: publish= must be 0 or 1"},
        {"publish=\n", "line 1: publish= must be 0 or 1"},
        {"=value\n", "line 1: not a comment and not key=value"},
        {"url=a\nurl=b\n", "line 2: url= given twice"},
        {"hls=http://e/\x01x\n", "line 1: hls= holds a control character"},
        {std::string("url=rtmp://a/live/k\0x\n", 22), "line 1: holds a NUL byte"},
        {std::string(kMaxRelayConfigBytes + 1, '#'), "larger than 65536 bytes"},
    };
    for (const auto& [text, message] : cases) {
        RelayConfig config;
        config.SetSettings({"kept", true, "kept"});
        std::string error;
        EXPECT_FALSE(config.Parse(text, &error)) << message;
        EXPECT_EQ(error, message);
        // Nothing of a damaged file is taken.
        EXPECT_EQ(config.Settings().url, "kept");
    }
}

TEST(RelayConfigText, AddressesAreCheckedAndTheirKeysMasked) {
    struct Case {
        const char* url;
        bool publishable;
        const char* masked;
    };
    const std::vector<Case> cases = {
        {"rtmp://relay.example:1935/live/s3cr3t", true, "rtmp://relay.example:1935/live/****"},
        {"rtmps://ingest.example/app/stream?key=s3cr3t", true, "rtmps://ingest.example/app/****"},
        {"RTMP://127.0.0.1/live/a/b", true, "RTMP://127.0.0.1/live/****"},
        {"rtmp://user:pw@host/live/k", true, "rtmp://****@host/live/****"},
        {"rtmp://h/live?key=S", false, "rtmp://h/live?key=****"},
        {"rtmp://h/app?auth=T/stream", true, "rtmp://h/app?auth=****/****"},
        {"rtmp://h/app?a=1&token=T&flag/s", true, "rtmp://h/app?a=****&token=****&****/****"},
        {"rtmp://u:p@h/app/one/two?key=S", true, "rtmp://****@h/app/****"},
        {"rtmp://[::1]:1935/live/k", true, "rtmp://[::1]:1935/live/****"},
        {"rtmp://host/live", false, "rtmp://host/live"},
        {"rtmp://host/live/", false, "rtmp://host/live/****"},
        {"rtmp://host", false, "rtmp://host/"},
        {"rtmp:///live/k", false, "rtmp:///live/****"},
        {"rtmp://host:0/live/k", false, "rtmp://host:0/live/****"},
        {"rtmp://host:65536/live/k", false, "rtmp://host:65536/live/****"},
        {"rtmp://host:x/live/k", false, "rtmp://host:x/live/****"},
        {"rtmp://host:/live/k", false, "rtmp://host:/live/****"},
        {"rtmp://host/live/k k", false, "rtmp://host/live/****"},
        {"http://host/live/k", false, "****"},
        {"host/live/s3cr3t", false, "****"},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(RelayUrlProblem(c.url).empty(), c.publishable) << RelayUrlProblem(c.url);
        EXPECT_EQ(MaskRelayUrl(c.url), c.masked);
    }
}

TEST(RelayConfigFile, LoadsSavesAndReportsDamage) {
    testsupport::TempFolder temp("lumarelay");
    const std::string path = temp / kRelayConfigFileName;
    RelayConfig config;
    std::string error;
    EXPECT_EQ(LoadRelayConfig(path, &config, &error), RelayConfigLoad::kMissing);

    WriteWholeFile(path, "# keep me\nurl=rtmp://a/live/k\nother=1\n");
    ::chmod(path.c_str(), 0600);
    ASSERT_EQ(LoadRelayConfig(path, &config, &error), RelayConfigLoad::kLoaded) << error;
    config.SetSettings({"rtmp://b/live/k2", true, ""});
    ASSERT_TRUE(SaveRelayConfig(path, config));
    EXPECT_EQ(ReadWholeFile(path), "# keep me\nurl=rtmp://b/live/k2\nother=1\npublish=1\nhls=\n");
    // The key stays the user's own: the replacement keeps the file's mode.
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(testsupport::FolderNames(temp.Path()).size(), 1u);

    WriteWholeFile(path, "url=rtmp://a/live/k\npublish=2\n");
    EXPECT_EQ(LoadRelayConfig(path, &config, &error), RelayConfigLoad::kDamaged);
    EXPECT_EQ(error,
              "The relay settings file " + path + " is damaged (line 2: publish= must be 0 or 1)");
    EXPECT_TRUE(config.Settings().url.empty());

    // A save into a folder that is gone fails and leaves nothing behind.
    EXPECT_FALSE(SaveRelayConfig(temp / "gone/relay.cfg", config));
}

}  // namespace
