/*
 * The loopback delay proxy of the tests and benchmarks, in front of the
 * PostgreSQL server of the test run: a session through it works and waits
 * the delay both ways, and the proxy stops by itself.
 */
#include <chrono>

#include "delayproxy.h"
#include "ocitest.h"
#include "pgtest.h"

namespace {

using ot::Session;

/* The server's URI with its port replaced. */
std::string throughPort(const std::string &uri, int port)
{
    size_t host = uri.find("://");
    size_t colon = uri.find(':', host + 3);
    size_t end = uri.find('/', colon);
    return uri.substr(0, colon + 1) + std::to_string(port) + uri.substr(end);
}

int portOf(const std::string &uri)
{
    size_t colon = uri.find(':', uri.find("://") + 3);
    return std::stoi(uri.substr(colon + 1));
}

TEST(DelayProxy, SessionThroughItWaitsTheDelayBothWaysAndItStopsByItself)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    std::unique_ptr<ot::Backend> db;
    ot::makeBackend(db);
    const long delay = 20000;
    kt::DelayProxy proxy({portOf(server.uri), delay, 0, 30, 1});
    ASSERT_NE(proxy.port(), 0);
    {
        Session s;
        ASSERT_EQ(s.open(throughPort(server.uri, proxy.port()), server.user, server.password),
                  OCI_SUCCESS) << s.diag();
        std::vector<std::string> values = ot::awkwardValues();
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(s.insert(values, 1), OCI_SUCCESS) << s.diag();
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::microseconds(2 * delay));
        EXPECT_EQ(db->count(), 1);
    }
    /* Its one connection has ended: the proxy has stopped, and refuses. */
    proxy.wait();
    EXPECT_EQ(proxy.accepted(), 1);
    Session late;
    EXPECT_EQ(late.open(throughPort(server.uri, proxy.port()) + "?connect_timeout=2", server.user,
                        server.password),
              OCI_ERROR);
}

TEST(DelayProxy, LifetimeEndsItAndCutsItsConnections)
{
    kt::pg::Server server;
    KT_REQUIRE_PG(server);
    kt::DelayProxy proxy({portOf(server.uri), 0, 0, 1, 10});
    Session s;
    ASSERT_EQ(s.open(throughPort(server.uri, proxy.port()), server.user, server.password),
              OCI_SUCCESS) << s.diag();
    proxy.wait();
    std::vector<std::string> values = ot::awkwardValues();
    EXPECT_EQ(s.insert(values, 1), OCI_ERROR);
    EXPECT_NE(s.diag().find("08006"), std::string::npos) << s.diag();
}

} // namespace
