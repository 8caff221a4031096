#pragma once

#include "store/store.hpp"

#include <cstddef>
#include <string>

namespace qvd::store {

// An INSERT text built to count the rows that fit, kept for the insert of those rows.
struct prepared_insert {
    // The table and the first record it was built for; no table once it is used or void.
    const table* for_table = nullptr;
    const void* first_record = nullptr;
    std::size_t count = 0;
    // Where the first row starts and ends and where the last row starts.
    std::size_t header_end = 0;
    std::size_t first_row_end = 0;
    std::size_t last_row_start = 0;
    std::string text;
};

} // namespace qvd::store
