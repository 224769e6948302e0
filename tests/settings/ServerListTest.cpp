#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/ServerList.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

std::string Le32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
    return bytes;
}

std::string Record(const std::string& name, const std::string& address) {
    std::string record(192, '\0');
    record.replace(0, name.size(), name);
    record.replace(64, address.size(), address);
    return record;
}

ServerEntry Entry(const char* name, const char* address) {
    ServerEntry entry;
    EXPECT_EQ(MakeServerEntry(name, address, &entry), ServerEntryCheck::kOk);
    return entry;
}

std::string NameOf(const ServerEntry& entry) {
    return std::string(ServerField(entry.name, sizeof entry.name));
}
std::string AddressOf(const ServerEntry& entry) {
    return std::string(ServerField(entry.address, sizeof entry.address));
}

class ServerListTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.empty()); }
    // A test that took the write permission away gives it back, so that the
    // folder can go.
    void TearDown() override { ::chmod(folder_.c_str(), 0700); }
    std::string ListPath() const { return folder_ + "/" + kServerListFileName; }
    std::vector<std::string> FolderNames() const { return testsupport::FolderNames(folder_); }

    testsupport::TempFolder temp_{"lumaservers"};
    std::string folder_ = temp_.Path().string();
};

TEST(ServerEntryRules, TypedNamesAndAddressesBecomeStoredEntries) {
    const std::string long120(120, 'a');  // 127 once prefixed: the longest that fits
    const std::string long121(121, 'a');
    const std::string full127 = "http://" + std::string(120, 'b');
    const std::string over128 = "http://" + std::string(121, 'b');
    // "é" is two bytes; placed at bytes 62-63 it does not fit into the 63 a name holds.
    const std::string accented = std::string(62, 'n') + "\xC3\xA9" + "x";
    struct Case {
        const char* what;
        std::string name, address;
        ServerEntryCheck check;
        std::string storedName, storedAddress;
    };
    const std::vector<Case> cases = {
        {"prefix added", "Studio", "192.168.0.5:8080", ServerEntryCheck::kOk, "Studio",
         "http://192.168.0.5:8080"},
        {"lowered, no second prefix", "Live", "HTTP://192.168.0.7:8080/Live", ServerEntryCheck::kOk,
         "Live", "http://192.168.0.7:8080/live"},
        {"prefix in the middle counts", "Relay", "MMS://10.0.0.1/A?u=http://10.0.0.2",
         ServerEntryCheck::kOk, "Relay", "mms://10.0.0.1/a?u=http://10.0.0.2"},
        {"name keeps its capitals", "Main STUDIO Feed", "http://h:1", ServerEntryCheck::kOk,
         "Main STUDIO Feed", "http://h:1"},
        {"blanks around the address go", "Studio", "  192.168.0.5:8080\t", ServerEntryCheck::kOk,
         "Studio", "http://192.168.0.5:8080"},
        {"only ASCII letters are lowered", "Kamera", "HTTP://Ärger.example/X",
         ServerEntryCheck::kOk, "Kamera", "http://Ärger.example/x"},
        {"empty name", "", "192.168.0.5:8080", ServerEntryCheck::kEmpty, "", ""},
        {"empty address", "Studio", "", ServerEntryCheck::kEmpty, "", ""},
        {"blank address", "Studio", "   ", ServerEntryCheck::kEmpty, "", ""},
        {"120 characters fit once prefixed", "Long", long120, ServerEntryCheck::kOk, "Long",
         "http://" + long120},
        {"121 characters do not", "Long", long121, ServerEntryCheck::kTooLong, "", ""},
        {"127 characters with the prefix fit", "Long", full127, ServerEntryCheck::kOk, "Long",
         full127},
        {"128 characters do not", "Long", over128, ServerEntryCheck::kTooLong, "", ""},
        {"long name is cut to 63", std::string(80, 'N'), "h", ServerEntryCheck::kOk,
         std::string(63, 'N'), "http://h"},
        {"name is cut before a split character", accented, "h", ServerEntryCheck::kOk,
         std::string(62, 'n'), "http://h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ServerEntry entry;
        std::memset(&entry, 0x5A, sizeof entry);
        ASSERT_EQ(MakeServerEntry(c.name, c.address, &entry), c.check);
        if (c.check != ServerEntryCheck::kOk) {
            EXPECT_EQ(entry.name[0], 0x5A) << "a refused entry is left alone";
            continue;
        }
        EXPECT_EQ(NameOf(entry), c.storedName);
        EXPECT_EQ(AddressOf(entry), c.storedAddress);
        // Terminated within the field and zero behind.
        for (std::size_t i = c.storedName.size(); i < sizeof entry.name; ++i)
            ASSERT_EQ(entry.name[i], 0) << "name byte " << i;
        for (std::size_t i = c.storedAddress.size(); i < sizeof entry.address; ++i)
            ASSERT_EQ(entry.address[i], 0) << "address byte " << i;
    }
}

TEST_F(ServerListTest, SavedListHasTheFileLayoutAndLoadsBack) {
    ServerList list = {Entry("Studio", "192.168.0.5:8080"),
                       Entry("Live", "HTTP://192.168.0.7:8080/Live"),
                       Entry("Relay", "MMS://10.0.0.1/A?u=http://10.0.0.2")};
    ASSERT_TRUE(SaveServerListFile(ListPath(), list));
    const std::string file = ReadWholeFile(ListPath());
    ASSERT_EQ(file.size(), 584u);
    EXPECT_EQ(file.substr(0, 8), std::string("\x01\0\0\0\x03\0\0\0", 8));
    EXPECT_EQ(file.substr(8, 192), Record("Studio", "http://192.168.0.5:8080"));
    EXPECT_EQ(file.substr(200, 192), Record("Live", "http://192.168.0.7:8080/live"));
    EXPECT_EQ(file.substr(392, 192), Record("Relay", "mms://10.0.0.1/a?u=http://10.0.0.2"));

    ServerList loaded = {Entry("stale", "x")};
    ASSERT_TRUE(LoadServerListFile(ListPath(), &loaded));
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(NameOf(loaded.back()), "Relay");
    EXPECT_EQ(AddressOf(loaded.front()), "http://192.168.0.5:8080");

    // The empty list is the header alone.
    ASSERT_TRUE(SaveServerListFile(ListPath(), ServerList{}));
    EXPECT_EQ(ReadWholeFile(ListPath()), std::string("\x01\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(FolderNames(), std::vector<std::string>{kServerListFileName});
}

TEST_F(ServerListTest, DamagedFilesBringOnlyCompleteRecords) {
    const std::string one = Record("One", "http://one");
    const std::string two = Record("Two", "http://two");
    // A record that fills its fields to the last byte and one with leftovers
    // behind its terminators.
    std::string unterminated(192, 'X');
    std::string leftovers = Record("Left", "http://left");
    leftovers[10] = 'Z';
    leftovers[100] = 'Z';
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"empty file", "", {}},
        {"version only", Le32(1), {}},
        {"count cut short", Le32(1) + "\x02\0\0", {}},
        {"count of zero", Le32(1) + Le32(0) + one, {}},
        {"another version reads the same", Le32(7) + Le32(2) + one + two, {"One", "Two"}},
        {"last record cut short",
         Le32(1) + Le32(3) + one + two + one.substr(0, 100),
         {"One", "Two"}},
        {"count of 2^32 - 1 over two records",
         Le32(1) + Le32(0xFFFFFFFFu) + one + two,
         {"One", "Two"}},
        {"bytes behind the counted records", Le32(1) + Le32(1) + one + two, {"One"}},
        {"fields without terminators", Le32(1) + Le32(1) + unterminated, {std::string(63, 'X')}},
        {"leftovers behind the terminators", Le32(1) + Le32(1) + leftovers, {"Left"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteWholeFile(ListPath(), c.bytes);
        ServerList list;
        ASSERT_TRUE(LoadServerListFile(ListPath(), &list));
        std::vector<std::string> names;
        for (const ServerEntry& entry : list) {
            names.push_back(NameOf(entry));
            // Whatever the file held, each field ends inside its bytes and the
            // list saves back clean.
            EXPECT_EQ(entry.name[sizeof entry.name - 1], 0);
            EXPECT_EQ(entry.address[sizeof entry.address - 1], 0);
        }
        EXPECT_EQ(names, c.names);
        const std::string saved = ServerListBytes(list);
        ASSERT_EQ(saved.size(), 8 + 192 * list.size());
        std::size_t at = 8;
        for (const ServerEntry& entry : list) {
            EXPECT_EQ(saved.substr(at, 192), Record(NameOf(entry), AddressOf(entry)));
            at += 192;
        }
    }
}

TEST_F(ServerListTest, AHugeCountStopsAtTheEntryLimit) {
    std::string bytes = Le32(1) + Le32(0xFFFFFFFFu);
    const std::string record = Record("Many", "http://many");
    bytes.reserve(bytes.size() + record.size() * (kMaxServerEntries + 3));
    for (std::size_t i = 0; i < kMaxServerEntries + 3; ++i) bytes += record;
    WriteWholeFile(ListPath(), bytes);
    ServerList list;
    ASSERT_TRUE(LoadServerListFile(ListPath(), &list));
    EXPECT_EQ(list.size(), kMaxServerEntries);
}

TEST_F(ServerListTest, MissingFileGivesAnEmptyList) {
    ServerList list = {Entry("stale", "x")};
    EXPECT_FALSE(LoadServerListFile(ListPath(), &list));
    EXPECT_TRUE(list.empty());
    std::filesystem::create_directory(ListPath());  // a folder where the file should be
    list = {Entry("stale", "x")};
    LoadServerListFile(ListPath(), &list);
    EXPECT_TRUE(list.empty());
}

// A save that cannot complete leaves the previous file as it was and no
// stray file beside it.
TEST_F(ServerListTest, FailedSaveKeepsThePreviousFile) {
    const ServerList previous = {Entry("Studio", "192.168.0.5:8080"), Entry("Live", "h:1")};
    ASSERT_TRUE(SaveServerListFile(ListPath(), previous));
    const std::string previousFile = ReadWholeFile(ListPath());
    ServerList longer = previous;
    for (int i = 0; i < 3; ++i) longer.push_back(Entry("More", "h:2"));

    // A full disk: the file size limit cuts the write off after 100 bytes.
    {
        bool ok = false;
        {
            testsupport::FileSizeLimit fullDisk(100);
            ASSERT_TRUE(fullDisk.Ok());
            ok = SaveServerListFile(ListPath(), longer);
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(ReadWholeFile(ListPath()), previousFile);
        EXPECT_EQ(FolderNames(), std::vector<std::string>{kServerListFileName});
    }

    // A folder the user may not write to. The superuser writes anywhere, so
    // the save runs in a child that gives up the superuser's rights first.
    {
        ASSERT_EQ(::chmod(folder_.c_str(), 0555), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(2);
            _exit(SaveServerListFile(ListPath(), longer) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: saved anyway, 2: could not drop rights";
        ::chmod(folder_.c_str(), 0700);
        EXPECT_EQ(ReadWholeFile(ListPath()), previousFile);
        EXPECT_EQ(FolderNames(), std::vector<std::string>{kServerListFileName});
    }

    // The next save goes through.
    ASSERT_TRUE(SaveServerListFile(ListPath(), longer));
    EXPECT_EQ(ReadWholeFile(ListPath()).size(), 8u + 5 * 192);
}

}  // namespace
