// The choice of the address in the stream's connection URL.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "media/LocalAddress.h"
#include "media/WmWriter.h"
#include "tests/support/Sockets.h"

namespace {

std::vector<in_addr> Addresses(std::initializer_list<const char*> dotted) {
    std::vector<in_addr> list;
    for (const char* text : dotted) {
        in_addr address{};
        EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1) << text;
        list.push_back(address);
    }
    return list;
}

TEST(ConnectionUrl, ChoosesTheFirstRoutableElseTheLastPrivateAddress) {
    const struct {
        std::vector<in_addr> addresses;
        std::uint32_t port;
        const char* url;
    } cases[] = {
        {Addresses({"192.168.1.5", "81.2.3.4"}), 8080, "http://81.2.3.4:8080"},
        {Addresses({"10.0.0.7", "192.168.0.3"}), 8080, "http://192.168.0.3:8080"},
        {Addresses({"10.1.2.3"}), 8080, "http://10.1.2.3:8080"},
        {Addresses({"10.1.2.3", "81.2.3.4"}), 8080, "http://81.2.3.4:8080"},
        // A container bridge before the routable address.
        {Addresses({"172.17.0.1", "81.2.3.4"}), 8080, "http://81.2.3.4:8080"},
        {Addresses({"172.31.255.1", "172.32.0.1"}), 8080, "http://172.32.0.1:8080"},
        {Addresses({"12.130.1.1", "192.168.0.2"}), 8080, "http://12.130.1.1:8080"},
        {Addresses({"169.254.3.4", "100.64.1.1", "100.128.0.1"}), 8080, "http://100.128.0.1:8080"},
        {Addresses({"169.254.3.4", "100.127.255.254"}), 1, "http://100.127.255.254:1"},
        {Addresses({"81.2.3.4", "82.0.0.1"}), 8080, "http://81.2.3.4:8080"},
        {Addresses({"255.255.255.255"}), 32767, "http://255.255.255.255:32767"},
        {Addresses({}), 8080, "Cannot detect IP address"},
    };
    for (const auto& c : cases) {
        char url[WmWriter::kConnectionUrlSize + 8];
        std::memset(url, 'x', sizeof(url));
        FormatConnectionUrl(c.addresses, c.port, url, WmWriter::kConnectionUrlSize);
        EXPECT_STREQ(url, c.url);
    }
}

TEST(ConnectionUrl, PrivateRanges) {
    const struct {
        const char* address;
        bool isPrivate;
    } cases[] = {
        {"10.0.0.1", true},        {"10.255.255.255", true},  {"11.0.0.1", false},
        {"172.15.255.255", false}, {"172.16.0.0", true},      {"172.31.255.255", true},
        {"172.32.0.0", false},     {"192.168.0.1", true},     {"192.169.0.1", false},
        {"169.254.0.1", true},     {"169.255.0.1", false},    {"100.63.255.255", false},
        {"100.64.0.0", true},      {"100.127.255.255", true}, {"100.128.0.0", false},
        {"12.130.1.1", false},     {"81.2.3.4", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPrivateAddress(Addresses({c.address})[0]), c.isPrivate) << c.address;
    }
}

TEST(ConnectionUrl, MachineAddressesLeaveOutLoopback) {
    for (const in_addr& address : LocalIpv4Addresses()) {
        EXPECT_NE(ntohl(address.s_addr) >> 24, 127u);
    }
}

TEST(ConnectionUrl, WriterUsesTheRequestedPortEvenWhenTheSinkFails) {
    // A port that another socket already listens on.
    int busyPort = 0;
    const UniqueFd busy = testsupport::ListenOnFreePort(&busyPort);
    ASSERT_TRUE(busy);
    const auto port = static_cast<std::uint32_t>(busyPort);

    WmWriter writer;
    ASSERT_EQ(writer.Create(), S_OK);
    EXPECT_TRUE(FAILED(writer.OpenNetworkSink(port, 3)));
    EXPECT_EQ(writer.NetworkSink(), nullptr);
    char url[WmWriter::kConnectionUrlSize] = {};
    writer.GetConnectionUrl(url);
    const std::string text = url;
    if (text != "Cannot detect IP address") {
        const std::string suffix = ":" + std::to_string(port);
        EXPECT_EQ(text.rfind("http://", 0), 0u) << text;
        EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix) << text;
        EXPECT_EQ(text.find("127."), std::string::npos) << text;
    }
}

}  // namespace
