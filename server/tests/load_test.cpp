// The short form of the load run: a hundred sessions long-polling the real server at once.
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

}  // namespace
}  // namespace vindral
