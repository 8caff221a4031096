#pragma once

#include "db/qvd_mariadb.hpp"
#include "runtime/database.hpp"

#include <boost/optional.hpp>

#include <sstream>
#include <string>

namespace qvd::runtime {

// The runtime database over one MariaDB connection.
class database_impl : public database, private qvd_mariadb {
public:
    // Connects with retries (see qvd_mariadb).
    database_impl(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                  const std::string& _schema, unsigned int _port,
                  const libs::core::events_loop::signals_handle& _signals, const libs::core::logger& _logger,
                  unsigned int _timeout_seconds = default_database_timeout, cancellation* _cancellation = nullptr);
    ~database_impl() override;

    unsigned long long drop_positions_indexes() const override;
    std::vector<position> get_positions(unsigned int _limit) const override;
    unsigned long long delete_positions(const std::vector<position>& _positions) const override;
    std::vector<external_event> get_external_events(unsigned int _limit) const override;
    unsigned long long delete_external_events(const std::vector<external_event>& _external_events) const override;
    std::vector<activity> get_activities(unsigned int _limit) const override;
    unsigned long long delete_activities(const std::vector<activity>& _activities) const override;
    unsigned long long drop_zone_events_indexes() const override;
    std::vector<zone_event> get_zone_events(unsigned int _limit) const override;
    std::vector<zone_event_open> get_zone_events_open() const override;
    unsigned long long delete_zone_events(const std::vector<zone_event>& _zone_events) const override;
    std::vector<vehicle_driver_association> get_vehicle_driver_associations(unsigned int _limit) const override;
    std::vector<vehicle_driver_association_open> get_vehicle_driver_associations_open() const override;
    unsigned long long delete_vehicle_driver_associations(
        const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const override;
    std::vector<heartbeat> get_heartbeats(unsigned int _limit) const override;
    unsigned long long delete_heartbeats(const std::vector<heartbeat>& _heartbeats) const override;
    node_parameters_vector get_node_parameters(unsigned int _limit) const override;
    unsigned long long delete_node_parameters(const node_parameters_vector& _node_parameters) const override;
    void optimize_tables() override;
    unsigned long long delete_position_histories_hot(unsigned int _interval_min) const override;
    std::vector<position> rows_to_delete(const std::vector<position>& _positions) const override;
    std::vector<external_event> rows_to_delete(const std::vector<external_event>& _external_events) const override;
    std::vector<zone_event> rows_to_delete(const std::vector<zone_event>& _zone_events) const override;
    std::vector<activity> rows_to_delete(const std::vector<activity>& _activities) const override;
    std::vector<vehicle_driver_association> rows_to_delete(
        const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const override;
    std::vector<heartbeat> rows_to_delete(const std::vector<heartbeat>& _heartbeats) const override;
    node_parameters_vector rows_to_delete(const node_parameters_vector& _node_parameters) const override;
    std::vector<long long> zone_event_history_ids(const std::vector<zone_event>& _zone_events) const override;

    // Builds the id list of a deletion: values separated by ", ".
    struct comma_separated_list_builder {
        const char* m_comma = "";
        std::stringstream m_result;

        template <class T>
        void add(const T& _value) {
            m_result << m_comma << _value;
            m_comma = ", ";
        }

        std::string get() const { return m_result.str(); }
    };

private:
    // The steps every read shares, with the facts of runtime::kind<Record>: trace, loading text,
    // one query, one record per row, done line. A read of all open rows has no limit.
    template <class Record>
    std::vector<Record> load(libs::core::source_location _source_location, boost::optional<unsigned int> _limit) const;

    // The same steps with a statement of the caller's; _reserve records are reserved first.
    template <class Record>
    std::vector<Record> load_rows(libs::core::source_location _source_location, const std::string& _statement,
                                  std::size_t _reserve) const;

    // The rows of the batch's keys, read with the kind's read statement cut before its read_filter
    // and followed by its by_key_condition.
    template <class Record>
    std::vector<Record> load_by_key(libs::core::source_location _source_location,
                                    const std::vector<Record>& _batch) const;

    // The steps every deletion by id shares, with the facts of runtime::kind<Record>: trace,
    // deleting text, one DELETE, result line.
    template <class Record>
    unsigned long long remove(libs::core::source_location _source_location, const std::vector<Record>& _batch) const;

    // Runs a maintenance statement with a trace, a debug text and the result line.
    unsigned long long maintain(libs::core::source_location _source_location, const char* _text,
                                const std::string& _statement) const;
};

} // namespace qvd::runtime
