// Rows per second of one 1000-row batch: inserted through one prepared statement run per row in
// a transaction, and the same rows as one multi-row text INSERT, on the same server in the same
// run. Rounds alternate the two; the figures are medians. Run by bench/statement-benchmark.
#include <mariadb_client/mariadb.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct row {
    mariadb::s64 id;
    mariadb::s32 trackable_id;
    mariadb::date_time ts;
    mariadb::f64 x;
    mariadb::f64 y;
    bool has_z;
    mariadb::f64 z;
    std::string zone;
};

std::vector<row> make_rows(int _count) {
    std::vector<row> rows;
    const mariadb::date_time start(2024, 1, 15, 8, 0, 0, 0);
    for (int i = 0; i < _count; ++i)
        rows.push_back(row{i + 1, 100 + i % 37, start.add_milliseconds(i * 250), 12.5 + i * 0.001, -7.25 - i * 0.002,
                           i % 5 != 0, 1.5 + i % 3, "zone-" + std::to_string(i % 11)});
    return rows;
}

double seconds_since(std::chrono::steady_clock::time_point _start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
}

double run_prepared(const mariadb::connection_ref& _connection, const std::vector<row>& _rows) {
    const auto started = std::chrono::steady_clock::now();
    const auto transaction = _connection->create_transaction(mariadb::isolation::repeatable_read, false);
    const auto insert = _connection->create_statement(
        "INSERT INTO positions (id, trackable_id, ts, x, y, z, zone) VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (const row& each : _rows) {
        insert->set_signed64(0, each.id);
        insert->set_signed32(1, each.trackable_id);
        insert->set_date_time(2, each.ts);
        insert->set_double(3, each.x);
        insert->set_double(4, each.y);
        if (each.has_z)
            insert->set_double(5, each.z);
        else
            insert->set_null(5);
        insert->set_string(6, each.zone);
        insert->execute();
    }
    transaction->commit();
    return seconds_since(started);
}

double run_text(const mariadb::connection_ref& _connection, const std::vector<row>& _rows) {
    const auto started = std::chrono::steady_clock::now();
    std::ostringstream sql;
    sql.precision(17);
    sql << "INSERT INTO positions (id, trackable_id, ts, x, y, z, zone) VALUES ";
    for (std::size_t i = 0; i < _rows.size(); ++i) {
        const row& each = _rows[i];
        sql << (i ? ",(" : "(") << each.id << ',' << each.trackable_id << ",'" << each.ts.str(true) << "'," << each.x
            << ',' << each.y << ',';
        if (each.has_z)
            sql << each.z;
        else
            sql << "NULL";
        sql << ",'" << each.zone << "')";
    }
    _connection->execute(sql.str());
    return seconds_since(started);
}

// Count and a checksum of the table's rows, so that both ways are seen to store the same data.
std::string contents(const mariadb::connection_ref& _connection) {
    const auto rows = _connection->query(
        "SELECT CONCAT(COUNT(*), '/', SUM(CRC32(CONCAT_WS(',', id, trackable_id, ts, x, y, IFNULL(z, 'null'), zone))))"
        " FROM positions");
    rows->next();
    return rows->get_string(0);
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    const std::size_t middle = _values.size() / 2;
    return _values.size() % 2 ? _values[middle] : (_values[middle - 1] + _values[middle]) / 2;
}

void usage(const char* _program) {
    std::fprintf(stderr, "usage: %s --port P [--host H] [--user U] [--password W] [--rows N] [--rounds R]\n", _program);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    std::string user = "lomvera";
    std::string password = "lomvera";
    unsigned port = 0;
    int row_count = 1000;
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            usage(argv[0]);
        const std::string value = argv[++i];
        if (option == "--host")
            host = value;
        else if (option == "--port")
            port = static_cast<unsigned>(std::stoul(value));
        else if (option == "--user")
            user = value;
        else if (option == "--password")
            password = value;
        else if (option == "--rows")
            row_count = std::stoi(value);
        else if (option == "--rounds")
            rounds = std::stoi(value);
        else
            usage(argv[0]);
    }
    if (port == 0 || row_count < 1 || rounds < 1)
        usage(argv[0]);

    try {
        const auto setup = mariadb::connection::create(mariadb::account::create(host, user, password, "", port));
        setup->execute("DROP DATABASE IF EXISTS lomvera_bench_statements; CREATE DATABASE lomvera_bench_statements");
        const auto connection = mariadb::connection::create(
            mariadb::account::create(host, user, password, "lomvera_bench_statements", port));
        connection->set_charset("utf8mb4");
        connection->execute("CREATE TABLE positions (id BIGINT PRIMARY KEY, trackable_id INT NOT NULL,"
                            " ts DATETIME(3) NOT NULL, x DOUBLE NOT NULL, y DOUBLE NOT NULL, z DOUBLE,"
                            " zone VARCHAR(64) NOT NULL) ENGINE=InnoDB");
        const std::vector<row> rows = make_rows(row_count);

        std::vector<double> prepared;
        std::vector<double> text;
        std::string expected;
        // Round 0 warms the server up and is not counted.
        for (int round = 0; round <= rounds; ++round) {
            connection->execute("TRUNCATE TABLE positions");
            const double prepared_seconds = run_prepared(connection, rows);
            const std::string prepared_contents = contents(connection);
            connection->execute("TRUNCATE TABLE positions");
            const double text_seconds = run_text(connection, rows);
            const std::string text_contents = contents(connection);
            if (prepared_contents != text_contents || (!expected.empty() && expected != text_contents)) {
                std::fprintf(stderr, "the two ways stored different rows: %s and %s\n", prepared_contents.c_str(),
                             text_contents.c_str());
                return 1;
            }
            expected = text_contents;
            if (round == 0)
                continue;
            prepared.push_back(prepared_seconds);
            text.push_back(text_seconds);
            std::printf("round %d: prepared %.1f ms, text %.1f ms\n", round, prepared_seconds * 1e3,
                        text_seconds * 1e3);
        }
        const double prepared_rate = row_count / median(prepared);
        const double text_rate = row_count / median(text);
        std::printf("%d rows, median of %d rounds (rows %s verified alike):\n", row_count, rounds, expected.c_str());
        std::printf("  prepared statement, one run per row, one transaction: %.0f rows/s\n", prepared_rate);
        std::printf("  one multi-row text INSERT:                            %.0f rows/s\n", text_rate);
        std::printf("  text / prepared: %.1f\n", text_rate / prepared_rate);
        setup->execute("DROP DATABASE lomvera_bench_statements");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "error: %s\n", failure.what());
        return 1;
    }
    return 0;
}
