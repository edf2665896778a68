#include <gtest/gtest.h>

#include "engine/watch_connection.h"
#include "tests/unit/engine_fixture.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t kConnected = 0x2000;
constexpr uint32_t kDisconnected = 0x2001;

const std::string kModules[] = {"CPlaytally::InternetConnected",
                                "CWatchConnection::ConnectionsAvailable",
                                "CWatchConnection::IsConnected", "CWatchConnection::TestIP"};

// The connectivity messages in the log, in order.
Lines Connectivity(const std::string& log) {
    Lines out;
    for (const LogEntry& entry : LogEntries(log)) {
        for (const std::string& module : kModules) {
            if (entry.module == module) out.push_back(entry.message);
        }
    }
    return out;
}

Lines Join(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ConnectivityTest : public EngineFixture {
  protected:
    // Runs the check and returns its answer; `lines` gets what it logged.
    bool Check(Lines* lines) {
        size_t mark = Log().size();
        bool connected = engine.InternetConnected();
        *lines = Connectivity(Log(mark));
        return connected;
    }
};

}  // namespace

TEST_F(ConnectivityTest, ForcedConnectionProbesNothing) {
    FakeNetwork network;
    network.connected = false;
    SetFakeNetwork(network);
    engine.Set(&Settings::forceConnection, 1);
    Lines lines;
    EXPECT_TRUE(Check(&lines));
    EXPECT_EQ(lines, Lines{"Force Connection Enabled"});
    EXPECT_EQ(FakeNetworkEnumCalls(), 0);
}

TEST_F(ConnectivityTest, WithoutDialUpTheSystemDecides) {
    const struct {
        uint32_t flags;
        bool connected;
        Lines flagLines;
    } cases[] = {
        {0x12, true, {"dwType is 18", "Connection via LAN"}},
        {0x12, false, {"dwType is 18", "Connection via LAN", "No Internet Connection Available"}},
        {66, true, {"dwType is 66", "Connection via LAN", "Connection is configured"}},
        {66,
         false,
         {"dwType is 66", "Connection via LAN", "Connection is configured",
          "No Internet Connection Available"}},
        {0x27,
         true,
         {"dwType is 39", "Connection via Modem", "Connection via LAN",
          "Connection via Proxy Server", "Connection is offline"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.flags << " " << c.connected);
        FakeNetwork network;
        network.flags = c.flags;
        network.connected = c.connected;
        SetFakeNetwork(network);
        Lines lines;
        EXPECT_EQ(Check(&lines), c.connected);
        EXPECT_EQ(lines, Join({"RasEnumConnections status 0", "There are 0 connections available"},
                              c.flagLines));
    }
}

TEST_F(ConnectivityTest, ConnectedDialUpAnswersWithoutTheSystem) {
    FakeNetwork network;
    network.dialUpStates = {kDisconnected, kConnected};
    network.connected = false;
    SetFakeNetwork(network);
    const Lines expected = {"RasEnumConnections status 603",
                            "RasEnumConnections2 status 0",
                            "There are 2 connections available",
                            "RasGetConnectStatus returned 8193",
                            "RasGetConnectStatus returned 8192",
                            "Testing IP for conn 1",
                            "Hostname is kelmar-test",
                            "IP is 192.168.7.20",
                            "Modem is installed - Connection is On"};
    // A second check starts again from room for one entry.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Lines lines;
        EXPECT_TRUE(Check(&lines));
        EXPECT_EQ(lines, expected);
    }
    EXPECT_EQ(FakeNetworkEnumCalls(), 4);
}

TEST_F(ConnectivityTest, DisconnectedDialUpFallsBackToTheSystem) {
    FakeNetwork network;
    network.dialUpStates = {kDisconnected};
    SetFakeNetwork(network);
    Lines lines;
    EXPECT_TRUE(Check(&lines));
    EXPECT_EQ(lines, (Lines{"RasEnumConnections status 0", "There are 1 connections available",
                            "RasGetConnectStatus returned 8193", "No dialup connection found",
                            "Modem is installed - Connection is Off", "dwType is 18",
                            "Connection via LAN"}));

    g_Debug.SetLevel(2);  // every connectivity line is level 1
    EXPECT_TRUE(Check(&lines));
    EXPECT_TRUE(lines.empty());
}

TEST_F(ConnectivityTest, FailedAddressLookupFailsTheDialUpTest) {
    FakeNetwork zero, noName, noLookup, noAddress;
    zero.addresses = {{{0, 0, 0, 0}}};
    noName.hostNameResult = -1;
    noLookup.lookupOk = false;
    noAddress.addresses.clear();
    const struct {
        FakeNetwork* network;
        Lines probe;
    } cases[] = {
        {&zero, {"Hostname is kelmar-test"}},
        {&noName, {"gethostname failed"}},
        {&noLookup, {"Hostname is kelmar-test", "gethostbyname failed"}},
        {&noAddress, {"Hostname is kelmar-test", "gethostbyname address is invalid"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.probe.back());
        c.network->dialUpStates = {kConnected};
        c.network->connected = false;
        SetFakeNetwork(*c.network);
        Lines lines;
        EXPECT_FALSE(Check(&lines));
        Lines expected =
            Join(Join({"RasEnumConnections status 0", "There are 1 connections available",
                       "RasGetConnectStatus returned 8192", "Testing IP for conn 0"},
                      c.probe),
                 {"Modem is installed - Connection is Off", "dwType is 18", "Connection via LAN",
                  "No Internet Connection Available"});
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(ConnectivityTest, AbsurdBufferSizeIsRefused) {
    FakeNetwork network;
    network.dialUpStates = {kConnected};
    network.neededBytesOverride = 0x7fffffff;
    network.connected = false;
    SetFakeNetwork(network);
    Lines lines;
    EXPECT_FALSE(Check(&lines));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "RasEnumConnections status 603");
    EXPECT_EQ(lines[1], "realloc failed");
    EXPECT_EQ(lines.back(), "No Internet Connection Available");

    CWatchConnection watch;
    EXPECT_FALSE(watch.ConnectionsAvailable());
    EXPECT_FALSE(watch.IsConnected());
}

TEST(WatchConnection, TestIpWritesTheDottedAddress) {
    FakeNetwork network;
    network.addresses = {{{255, 255, 255, 255}}, {{10, 0, 0, 1}}};
    SetFakeNetwork(network);
    CWatchConnection watch;
    char text[16];
    EXPECT_TRUE(watch.TestIP(text));
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_FALSE(watch.TestIP(nullptr));
    SetFakeNetwork(FakeNetwork());
}
