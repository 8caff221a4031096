// Each kind's row description against its table: one value per column, in order, each of the
// column's family of types, and NULL only where the column allows it.

#include "store/kind.hpp"

#include <gtest/gtest.h>

#include <boost/optional.hpp>

#include <string>
#include <type_traits>
#include <vector>

namespace {

using qvd::store::kind;

// What a row description wrote for one column.
enum class family { keyword_default, number, text, time };

const char* name_of(const family _family) {
    switch (_family) {
    case family::keyword_default:
        return "DEFAULT";
    case family::number:
        return "number";
    case family::text:
        return "text";
    case family::time:
        return "time";
    }
    return "?";
}

// Takes the place of the insert's value writer and the probe's condition writer.
class recorded_row {
public:
    struct slot {
        family kind;
        bool optional;
    };

    recorded_row& keyword_default() { return add(family::keyword_default, false); }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    recorded_row& value(Number) {
        return add(family::number, false);
    }
    recorded_row& value(const std::string&) { return add(family::text, false); }
    recorded_row& value(const qvd::timestamp&) { return add(family::time, false); }

    template <class T>
    recorded_row& value(const boost::optional<T>&) {
        value(T{});
        m_slots.back().optional = true;
        return *this;
    }

    // A missing text is written as a blank, so the column may be NOT NULL.
    recorded_row& value_or_blank(const boost::optional<std::string>&) { return add(family::text, false); }

    const std::vector<slot>& slots() const { return m_slots; }

private:
    recorded_row& add(const family _family, const bool _optional) {
        m_slots.push_back({_family, _optional});
        return *this;
    }

    std::vector<slot> m_slots;
};

bool starts_with(const std::string& _text, const char* _prefix) { return _text.rfind(_prefix, 0) == 0; }

family family_of(const qvd::store::column& _column) {
    const std::string& type = _column.type;
    if (starts_with(type, "char(") || starts_with(type, "varchar(") || type == "mediumtext" || type == "text")
        return family::text;
    if (starts_with(type, "datetime"))
        return family::time;
    return family::number;
}

template <class Record>
void expect_row_fits_table() {
    const qvd::store::table& table = kind<Record>::table;
    SCOPED_TRACE(table.name);
    recorded_row row;
    kind<Record>::describe_row(row, Record{});
    ASSERT_EQ(row.slots().size(), table.columns.size()) << "values written against columns of the table";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const qvd::store::column& column = table.columns[i];
        const recorded_row::slot& slot = row.slots()[i];
        SCOPED_TRACE(column.field);
        if (slot.kind == family::keyword_default)
            continue;
        EXPECT_EQ(name_of(slot.kind), std::string(name_of(family_of(column)))) << "type " << column.type;
        if (slot.optional) {
            EXPECT_EQ(column.null, "yes") << "an optional value in a NOT NULL column";
        }
    }
}

TEST(store_kind, every_row_description_writes_one_value_of_the_columns_type_per_column) {
    expect_row_fits_table<qvd::position>();
    expect_row_fits_table<qvd::external_event>();
    expect_row_fits_table<qvd::zone_event>();
    expect_row_fits_table<qvd::zone_event_open>();
    expect_row_fits_table<qvd::activity>();
    expect_row_fits_table<qvd::vehicle_driver_association>();
    expect_row_fits_table<qvd::vehicle_driver_association_open>();
    expect_row_fits_table<qvd::heartbeat>();
    expect_row_fits_table<qvd::node_parameter>();
}

} // namespace
