#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace qvd::test_support;

// The server goes away under an open connection and comes back on the same port.
TEST(mariadb_restart, killed_server_is_reached_again_on_demand) {
    private_mariadb_server server;
    try {
        server.start();
    } catch (const std::exception& failure) {
        if (servers_required())
            FAIL() << failure.what();
        GTEST_SKIP() << failure.what();
    }
    const auto& endpoint = server.endpoint();
    run_sql(endpoint, "CREATE DATABASE restart_db; CREATE TABLE restart_db.t (id INT)");
    const auto connection = mariadb::connection::create(
        mariadb::account::create(endpoint.host, endpoint.user, endpoint.password, "restart_db", endpoint.port, ""));
    connection->set_charset("latin1");
    EXPECT_EQ(connection->execute("INSERT INTO t VALUES (1)"), 1u);

    server.kill();
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->execute("INSERT INTO t VALUES (2)"), mariadb::exception::connection);
    EXPECT_FALSE(connection->connected());
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("In function: connect"), std::string::npos) << report;

    server.start();
    EXPECT_EQ(connection->execute("INSERT INTO t VALUES (3)"), 1u);
    const auto rows = connection->query("SELECT @@character_set_client, DATABASE(), COUNT(*) FROM t");
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_string(0), "latin1");
    EXPECT_EQ(rows->get_string(1), "restart_db");
    EXPECT_EQ(rows->get_signed64(2), 2);
}

} // namespace
