// The column-store lock that fences a restart's recovery off from an earlier session's insert.

#include "own_server_support.hpp"

#include "store/store_impl.hpp"

#include "support/core_values.hpp"
#include "support/eventually.hpp"
#include "support/mariadb_server.hpp"

#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qvd::test_support;

// The column store on a server of the test's own, started with the given options.
class own_server : public qvd::db_test::own_mariadb {
public:
    explicit own_server(std::vector<std::string> _options) : own_mariadb(std::move(_options)) {
        const auto& e = endpoint();
        store = std::make_unique<qvd::store::column_store_impl>(e.host, e.user, e.password, "cs", e.port, m_signals,
                                                                m_logger);
    }

private:
    no_signal m_signals;
    qvd::libs::core::logger m_logger{"lomvera", "store-test"};

public:
    std::unique_ptr<qvd::store::column_store_impl> store;
};

// The column-store session takes the lock on its connect and again on every reconnect.
TEST(fence_lock, is_taken_again_after_a_reconnect) {
    own_server server({});
    const auto& endpoint = server.endpoint();
    const std::string holder_query =
        "SELECT IS_USED_LOCK(" +
        qvd::store::column_store_impl::string_literal(qvd::store::column_store_impl::fence_lock_name("cs")) + ")";
    qvd::position absent;
    absent.trackable_uid = "nobody";
    EXPECT_FALSE(server.store->check_presence("positions_raw", absent));
    const auto first = query_value(endpoint, holder_query);
    ASSERT_TRUE(first);
    EXPECT_EQ(*query_value(endpoint, "SELECT DB FROM information_schema.PROCESSLIST WHERE ID = " + *first), "cs");

    run_sql(endpoint, "KILL " + *first);
    ASSERT_TRUE(eventually([&] { return !query_value(endpoint, holder_query); }, std::chrono::seconds(30)));
    server.store->check_structure();
    const auto second = query_value(endpoint, holder_query);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_FALSE(server.store->check_presence("positions_raw", absent));
    EXPECT_EQ(query_value(endpoint, holder_query), second);
}

} // namespace
