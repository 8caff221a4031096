// The recovery's search for the end of what arrived, and the parts it inserts, on plain numbers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

#include "transfer/journalled_processor.hpp"

namespace {

using batch = std::vector<int>;

batch numbers(std::size_t _n)
{
    batch result(_n);
    std::iota(result.begin(), result.end(), 0);
    return result;
}

// Each case: batch size and how many leading records arrived. All and none cost what probing the
// first and the last record costs; anything between costs about log2(n) probes more.
TEST(arrived_prefix, finds_the_end_of_what_arrived_within_a_few_probes)
{
    struct case_t
    {
        std::size_t size;
        std::size_t arrived;
        std::size_t most_probes;
    };
    const std::vector<case_t> cases = {
        {0, 0, 0},     {1, 0, 1},     {1, 1, 1},       {2, 0, 1},      {2, 1, 2},      {2, 2, 2},
        {3, 1, 3},     {3, 2, 3},     {1000, 0, 1},    {1000, 1000, 2}, {1000, 1, 12}, {1000, 2, 12},
        {1000, 500, 12}, {1000, 998, 12}, {1000, 999, 12}, {1001, 333, 12},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.size) + " records, " + std::to_string(c.arrived) + " arrived");
        std::size_t probes = 0;
        const auto probe = [&](int _record) {
            ++probes;
            return static_cast<std::size_t>(_record) < c.arrived;
        };
        EXPECT_EQ(qvd::journalled_processor::arrived_prefix(numbers(c.size), probe), c.arrived);
        EXPECT_LE(probes, c.most_probes);
    }
}

// The rest goes in order, each part as long as the limit allows, the last one whatever is left.
TEST(insert_rest, inserts_only_the_rest_in_parts_of_the_limit)
{
    struct case_t
    {
        std::size_t size;
        std::size_t from;
        std::size_t limit;
        std::vector<std::size_t> parts;
    };
    const std::vector<case_t> cases = {
        {10, 0, 100, {10}}, {10, 0, 4, {4, 4, 2}}, {10, 3, 100, {7}}, {10, 3, 3, {3, 3, 1}}, {10, 9, 4, {1}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.size) + " from " + std::to_string(c.from) + " limit " +
                     std::to_string(c.limit));
        batch inserted;
        std::vector<std::size_t> parts;
        qvd::journalled_processor::insert_rest(
            numbers(c.size), c.from, [&](const batch& _part) { return std::min(_part.size(), c.limit); },
            [&](const batch& _part) {
                parts.push_back(_part.size());
                inserted.insert(inserted.end(), _part.begin(), _part.end());
            });
        EXPECT_EQ(parts, c.parts);
        const batch all = numbers(c.size);
        EXPECT_EQ(inserted, batch(all.begin() + static_cast<std::ptrdiff_t>(c.from), all.end()));
    }
}

} // namespace
