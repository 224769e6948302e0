#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/IndexPage.h"

namespace {

namespace fs = std::filesystem;

TEST(IndexPageTest, PageIsByteExactAndNamesTheStreamTwice) {
    const std::string expected =
        "<HTML><HEAD><TITLE>Lumacast</TITLE></HEAD><BODY><center><h1>My Webcam Page</h1><hr>"
        "<OBJECT ID=\"MediaPlayer\" CLASSID=\"CLSID:22D6f312-B0F6-11D0-94AB-0080C74C7E95\" "
        "STANDBY=\"Loading Windows Media Player components...\"TYPE=\"application/x-oleobject\" "
        "CODEBASE= \"http://activex.microsoft.com/activex/controls/mplayer/en/"
        "nsmp2inf.cab#Version=6,4,7,1112\"><PARAM name=\"autoStart\" value=\"True\">\r\n"
        "<PARAM name=\"filename\" value=\"http://10.0.0.5:8080/MyFile.wma\">"
        "<EMBED TYPE=\"application/x-mplayer2\"SRC=\"http://10.0.0.5:8080/MyFile.wma\" "
        "NAME=\"MediaPlayer\">\r\n</EMBED></OBJECT></center></BODY></HTML>";
    EXPECT_EQ(IndexPageText("http://10.0.0.5:8080"), expected);
}

TEST(IndexPageTest, WritingReplacesThePageWholeAndLeavesNothingBehind) {
    const fs::path folder = fs::temp_directory_path() / ("lumapage-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string path = (folder / "index.htm").string();
    std::ofstream(path) << "an old and much longer page from an earlier broadcast";

    ASSERT_TRUE(WriteIndexPage(path, "Cannot detect IP address"));
    std::stringstream written;
    written << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(written.str(), IndexPageText("Cannot detect IP address"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    fs::remove_all(folder);
    EXPECT_FALSE(WriteIndexPage(path, "http://1.2.3.4:1"));  // the folder is gone
}

}  // namespace
