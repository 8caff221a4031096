#include "records/row_name.hpp"

namespace qvd {

namespace {

template <class Id>
std::string row_id(Id _id) {
    return "row id " + std::to_string(_id);
}

} // namespace

std::string row_name(const position& _record) { return row_id(_record.id); }
std::string row_name(const external_event& _record) { return row_id(_record.id); }
std::string row_name(const zone_event& _record) {
    return "enter " + row_id(_record.id_enter) + ", leave " + row_id(_record.id_leave);
}
std::string row_name(const zone_event_open& _record) { return row_id(_record.id); }
std::string row_name(const activity& _record) { return row_id(_record.id); }
std::string row_name(const vehicle_driver_association& _record) { return row_id(_record.id); }
std::string row_name(const vehicle_driver_association_open& _record) { return row_id(_record.id); }
std::string row_name(const heartbeat& _record) { return row_id(_record.id); }
std::string row_name(const node_parameter& _record) { return row_id(_record.id); }

} // namespace qvd
