#pragma once

#include "records/records.hpp"

namespace qvd {

// One position of a tracked object, a row of position_histories.
struct position {
    long long id = 0;
    long long trackable_id = 0;
    std::string trackable_uid;
    boost::optional<std::string> mac_address;
    timestamp ts;
    boost::optional<int> fom;
    boost::optional<int> sfsn;
    boost::optional<std::string> slvr_mode;
    boost::optional<int> edge_corr;
    boost::optional<int> pe_dims;
    boost::optional<std::string> type;
    boost::optional<int> x;
    boost::optional<int> y;
    boost::optional<int> z;
    std::string area_uid;
    boost::optional<std::string> project_uid;
    boost::optional<short> inactive;
    boost::optional<int> to_type_id;

    // Journal form; trackable_uid comes before trackable_id there.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& trackable_uid;
        _ar& trackable_id;
        _ar& mac_address;
        _ar& ts;
        _ar& fom;
        _ar& sfsn;
        _ar& slvr_mode;
        _ar& edge_corr;
        _ar& pe_dims;
        _ar& type;
        _ar& x;
        _ar& y;
        _ar& z;
        _ar& area_uid;
        _ar& project_uid;
        _ar& inactive;
        _ar& to_type_id;
    }
};

} // namespace qvd
