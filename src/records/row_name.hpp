#pragma once

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

#include <string>

namespace qvd {

// The runtime row a record came from, as messages name it: "row id N"; a closed zone event
// names its two rows, "enter row id N, leave row id M".
std::string row_name(const position& _record);
std::string row_name(const external_event& _record);
std::string row_name(const zone_event& _record);
std::string row_name(const zone_event_open& _record);
std::string row_name(const activity& _record);
std::string row_name(const vehicle_driver_association& _record);
std::string row_name(const vehicle_driver_association_open& _record);
std::string row_name(const heartbeat& _record);
std::string row_name(const node_parameter& _record);

} // namespace qvd
