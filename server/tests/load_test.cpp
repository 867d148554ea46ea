// The short forms of the load runs: sessions long-polling the real server at once, behind it a
// polled REST fake or the pushing stream fakes.
#include <gtest/gtest.h>

#include "server/load/load_driver.h"
#include "server/price_server.h"

namespace vindral {
namespace {

TEST(LoadTest, HundredSessionsEachReceiveEveryPriceFromOneUpstreamPoller) {
    load::UpstreamFake upstream;
    ServerOptions options;
    options.listenAddress = "127.0.0.1";
    options.port = 0;
    options.endpoints = upstream.endpoints();
    // Every client of the run comes from one address.
    options.hub.maxSessionsPerPeer = options.hub.maxSessions;
    options.connections.maxConnectionsPerPeer = options.connections.maxConnections;
    std::string error;
    const std::unique_ptr<PriceServer> server = PriceServer::start(options, error);
    ASSERT_TRUE(server) << error;

    load::LoadOptions load;
    load.serverPort = server->port();
    load.sessions = 100;
    load.duration = std::chrono::milliseconds(3500);
    const load::LoadReport report = load::runLoad(load, upstream);

    EXPECT_EQ(report.sessionsCreated, 100u);
    EXPECT_EQ(report.failures, 0u);
    EXPECT_GE(report.prices, 2u);
    EXPECT_GT(report.expectedDeliveries, 0u);
    EXPECT_EQ(report.missedDeliveries, 0u);
    EXPECT_LE(report.upstreamFetches, report.singleSessionFetches);
    // Only catches a price that waits for something (the hold time, the next tick) instead of
    // waking the poll: the sanitizer builds running beside other tests are slow, and the full
    // run in a release build measures the real figures.
    EXPECT_LT(report.p99Ms, 2000) << "p50 " << report.p50Ms;
}

TEST(LoadTest, LiveSessionsEachReceiveEveryPushOverOneStreamPerExchange) {
    test::FakeWsExchange streams;
    test::FakeExchange rest("");
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        rest.setPrice(e, 0, 900, 1000);
    ServerOptions options;
    options.listenAddress = "127.0.0.1";
    options.port = 0;
    options.endpoints = rest.endpoints();
    options.feeds = FeedMode::Live;
    options.live.urls = streams.urls();
    options.hub.maxSessionsPerPeer = options.hub.maxSessions;
    options.connections.maxConnectionsPerPeer = options.connections.maxConnections;
    std::string error;
    const std::unique_ptr<PriceServer> server = PriceServer::start(options, error);
    ASSERT_TRUE(server) << error;

    load::LoadOptions load;
    load.serverPort = server->port();
    load.sessions = 20;
    load.duration = std::chrono::milliseconds(2500);
    // Two addresses, so that the clients' source binding is exercised too.
    load.sourceAddresses = 2;
    load::LiveLoadOptions live;
    live.pushEvery = std::chrono::milliseconds(500);
    live.setupTimeout = std::chrono::seconds(20);
    const load::LoadReport report = load::runLiveLoad(load, live, streams, rest);

    EXPECT_FALSE(report.setupTimedOut);
    EXPECT_EQ(report.sessionsCreated, 20u);
    EXPECT_EQ(report.failures, 0u);
    EXPECT_GE(report.pushRounds, 3u);
    EXPECT_EQ(report.pushes, report.pushRounds * kExchangeCount);
    EXPECT_GT(report.expectedDeliveries, 0u);
    EXPECT_EQ(report.missedDeliveries, 0u);
    EXPECT_GE(report.delaysMs.size(), report.expectedDeliveries);
    // Live cells are not polled, and twenty sessions share one stream per exchange.
    EXPECT_EQ(report.upstreamFetches, 0u);
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        EXPECT_EQ(report.streamConnections[e], 1u) << e;
    EXPECT_LT(report.p99Ms, 2000) << "p50 " << report.p50Ms;
}

}  // namespace
}  // namespace vindral
