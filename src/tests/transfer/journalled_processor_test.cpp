// The recovery's search for the end of what arrived, and the parts it inserts, on plain numbers.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "transfer/journalled_processor.hpp"
#include "transfer/parts_mark.hpp"

namespace {

using batch = std::vector<int>;

batch numbers(std::size_t _n) {
    batch result(_n);
    std::iota(result.begin(), result.end(), 0);
    return result;
}

// Each case: batch size and how many leading records arrived. All and none cost what probing the
// first and the last record costs; anything between costs about log2(n) probes more.
TEST(arrived_prefix, finds_the_end_of_what_arrived_within_a_few_probes) {
    struct case_t {
        std::size_t size;
        std::size_t arrived;
        std::size_t most_probes;
    };
    const std::vector<case_t> cases = {
        {0, 0, 0},       {1, 0, 1},       {1, 1, 1},       {2, 0, 1},       {2, 1, 2},     {2, 2, 2},
        {3, 1, 3},       {3, 2, 3},       {1000, 0, 1},    {1000, 1000, 2}, {1000, 1, 12}, {1000, 2, 12},
        {1000, 500, 12}, {1000, 998, 12}, {1000, 999, 12}, {1001, 333, 12},
    };
    for (const auto& c : cases) {
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

// Records stand for rows by their values: the column store holds the values of the records that
// arrived and those of older rows, some equal to records of the batch (twins). A found probe can
// be a twin's, a missing one cannot lie. Each case: the rule, the batch, the part bounds (none: one
// per record, or the whole batch), what arrived, which records have an older twin, and what the
// recovery must take as arrived; whether the probes leave a doubt to warn of.
TEST(arrived_part, takes_as_arrived_only_what_twins_alone_cannot_show) {
    using qvd::journalled_processor::arrival_rule;
    struct case_t {
        const char* name;
        arrival_rule rule;
        std::size_t size;
        std::vector<std::size_t> cuts;
        std::size_t arrived;
        std::vector<std::size_t> twins;
        std::size_t taken;
        bool doubt;
    };
    const std::vector<std::size_t> all_probed = {0, 14, 28, 42, 56, 70, 84, 99};
    const std::vector<case_t> cases = {
        {"whole, none, twin of the first", arrival_rule::whole, 100, {}, 0, {0}, 0, false},
        {"whole, none, twins of first and last", arrival_rule::whole, 100, {}, 0, {0, 99}, 0, false},
        {"whole, none, twins in the middle", arrival_rule::whole, 100, {}, 0, {14, 42, 56}, 0, false},
        {"whole, all, twins", arrival_rule::whole, 100, {}, 100, {0, 99}, 100, false},
        {"whole, none, no twin", arrival_rule::whole, 100, {}, 0, {}, 0, false},
        {"whole, one record arrived", arrival_rule::whole, 1, {}, 1, {}, 1, false},
        // Every probed record has a twin: cannot be told from a batch that arrived.
        {"whole, none, every probed record a twin", arrival_rule::whole, 100, {}, 0, all_probed, 100, false},
        {"parts, first part in", arrival_rule::parts, 100, {0, 40, 80, 100}, 40, {}, 40, false},
        {"parts, two parts in", arrival_rule::parts, 100, {0, 40, 80, 100}, 80, {}, 80, false},
        {"parts, all in", arrival_rule::parts, 100, {0, 40, 80, 100}, 100, {}, 100, false},
        {"parts, none, twins of first and last", arrival_rule::parts, 100, {0, 40, 80, 100}, 0, {0, 99}, 0, true},
        {"parts, first in, twin of the last", arrival_rule::parts, 100, {0, 40, 80, 100}, 40, {99}, 40, true},
        {"parts after an earlier arrival", arrival_rule::parts, 100, {30, 60, 100}, 60, {}, 60, false},
        {"parts after an earlier arrival, none", arrival_rule::parts, 100, {30, 60, 100}, 30, {}, 30, false},
        {"records, none, twin of the first", arrival_rule::records, 100, {}, 0, {0}, 0, true},
        {"records, none, twins of first and last", arrival_rule::records, 100, {}, 0, {0, 99}, 0, true},
        {"records, none, twins of first and second", arrival_rule::records, 100, {}, 0, {0, 1}, 2, false},
        {"records, half in", arrival_rule::records, 100, {}, 50, {}, 50, false},
        {"records, half in, twin of the last", arrival_rule::records, 100, {}, 50, {99}, 50, true},
        {"records, half in, twins in the rest", arrival_rule::records, 100, {}, 50, {60, 85, 99}, 50, true},
        {"records, two in", arrival_rule::records, 100, {}, 2, {}, 2, false},
        {"records, all in", arrival_rule::records, 100, {}, 100, {}, 100, false},
        {"records, none", arrival_rule::records, 100, {}, 0, {}, 0, false},
        // One record found alone could be a twin's: inserted again.
        {"records, one of one in", arrival_rule::records, 1, {}, 1, {}, 0, true},
        {"records, first in", arrival_rule::records, 100, {}, 1, {}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const batch records = numbers(c.size);
        std::set<int> store(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(c.arrived));
        for (const std::size_t twin : c.twins)
            store.insert(records[twin]);
        std::vector<std::size_t> cuts = c.cuts;
        if (cuts.empty() && c.rule == arrival_rule::records) {
            cuts.resize(c.size + 1);
            std::iota(cuts.begin(), cuts.end(), std::size_t(0));
        } else if (cuts.empty())
            cuts = {0, c.size};
        const auto found = qvd::journalled_processor::arrived_part(
            records, cuts, c.rule, [&](int _record) { return store.count(_record) != 0; },
            [](int _record) { return std::to_string(_record); });
        EXPECT_EQ(found.arrived, c.taken);
        EXPECT_EQ(!found.doubt.empty(), c.doubt) << found.doubt;
    }
}

// Records alike are probed once: a batch of one value costs one probe, a whole batch at most eight.
TEST(arrived_part, probes_records_alike_once_and_a_whole_batch_at_eight_places) {
    using qvd::journalled_processor::arrival_rule;
    for (const bool alike : {true, false}) {
        SCOPED_TRACE(alike ? "alike" : "distinct");
        const batch records = alike ? batch(100, 7) : numbers(100);
        std::size_t probes = 0;
        const auto found = qvd::journalled_processor::arrived_part(
            records, {0, 100}, arrival_rule::whole,
            [&](int) {
                ++probes;
                return true;
            },
            [](int _record) { return std::to_string(_record); });
        EXPECT_EQ(found.arrived, 100u);
        EXPECT_EQ(probes, alike ? 1u : 8u);
    }
    // Records alike to one that arrived are not taken for a doubt in the rest.
    batch records = numbers(100);
    records[70] = records[10];
    std::vector<std::size_t> cuts(101);
    std::iota(cuts.begin(), cuts.end(), std::size_t(0));
    const auto found = qvd::journalled_processor::arrived_part(
        records, cuts, arrival_rule::records, [&](int _record) { return _record < 50; },
        [](int _record) { return std::to_string(_record); });
    EXPECT_EQ(found.arrived, 50u);
    EXPECT_TRUE(found.doubt.empty()) << found.doubt;
}

// The rest goes in order, each part as long as the limit allows, the last one whatever is left.
TEST(insert_rest, inserts_only_the_rest_in_parts_of_the_limit) {
    struct case_t {
        std::size_t size;
        std::size_t from;
        std::size_t limit;
        std::vector<std::size_t> parts;
    };
    const std::vector<case_t> cases = {
        {10, 0, 100, {10}}, {10, 0, 4, {4, 4, 2}}, {10, 3, 100, {7}}, {10, 3, 3, {3, 3, 1}}, {10, 9, 4, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " from " + std::to_string(c.from) + " limit " + std::to_string(c.limit));
        batch inserted;
        std::vector<std::size_t> parts;
        std::vector<std::size_t> marked;
        qvd::journalled_processor::insert_rest(
            numbers(c.size), c.from, [&](const batch& _part) { return std::min(_part.size(), c.limit); },
            [&](const batch& _part) {
                // The mark is left before the first part.
                EXPECT_EQ(marked.empty(), c.from == 0 && c.parts.size() == 1);
                parts.push_back(_part.size());
                inserted.insert(inserted.end(), _part.begin(), _part.end());
            },
            [&](const std::vector<std::size_t>& _cuts) {
                EXPECT_TRUE(inserted.empty());
                marked = _cuts;
            });
        EXPECT_EQ(parts, c.parts);
        // The bounds of the parts, from the first record inserted to the end.
        if (c.from > 0 || c.parts.size() > 1) {
            std::vector<std::size_t> cuts{c.from};
            for (const std::size_t part : c.parts)
                cuts.push_back(cuts.back() + part);
            EXPECT_EQ(marked, cuts);
        } else
            EXPECT_TRUE(marked.empty());
        const batch all = numbers(c.size);
        EXPECT_EQ(inserted, batch(all.begin() + static_cast<std::ptrdiff_t>(c.from), all.end()));
    }
}

// A whole recovery on plain numbers beside a real journal file: a batch that does not fit one
// statement leaves its mark before its first part; a failure keeps journal and mark; the next
// recovery goes on from the parts that arrived and removes both; what the probes cannot settle is
// warned of, naming the journal.
TEST(finish_batch, marks_a_split_recovery_and_warns_naming_the_journal) {
    namespace fs = boost::filesystem;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("lomvera-finish-%%%%-%%%%");
    fs::create_directories(dir);
    const std::string journal = (dir / "numbers.bin").string();
    const auto to_text = [](const batch& _batch) { return std::to_string(_batch.size()) + " numbers"; };
    const batch records = numbers(100);
    std::set<int> store;
    batch inserted;
    std::vector<std::string> warnings;
    std::size_t inserts = 0;
    std::size_t fail_at = 2;
    std::vector<std::size_t> cuts = {0, 30, 60, 90, 100};
    bool deleted = false;
    const auto finish = [&](qvd::journalled_processor::arrival_doubt& _doubt) {
        qvd::journalled_processor::finish_batch(
            journal, _doubt, [&](const std::string&) { return records; }, to_text,
            [](const batch& _part) { return std::min<std::size_t>(_part.size(), 30); },
            [&](int _record) { return store.count(_record) != 0; }, [](int _record) { return std::to_string(_record); },
            [&](const batch& _part) {
                if (++inserts == fail_at)
                    throw std::runtime_error("refused");
                if (inserts == 1) {
                    const auto mark = qvd::journal::read_parts_mark(journal);
                    ASSERT_TRUE(mark);
                    EXPECT_EQ(mark->cuts, cuts);
                }
                store.insert(_part.begin(), _part.end());
                inserted.insert(inserted.end(), _part.begin(), _part.end());
            },
            [&](const batch&) { deleted = true; }, [&](const std::string& _text) { warnings.push_back(_text); });
    };
    std::ofstream(journal) << "journal";

    // Nothing arrived, the last record has an older twin: inserted whole, in parts, until one fails.
    store.insert(99);
    qvd::journalled_processor::arrival_doubt doubt(journal);
    EXPECT_THROW(finish(doubt), std::runtime_error);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(inserted, batch(records.begin(), records.begin() + 30));
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_TRUE(fs::exists(qvd::journal::parts_mark_file(journal)));
    EXPECT_FALSE(deleted);

    // The first part arrived: the rest goes, in parts of its own, and the twin of the last record is
    // warned of.
    inserts = 0;
    fail_at = 0;
    cuts = {30, 60, 90, 100};
    inserted.clear();
    finish(doubt);
    EXPECT_EQ(inserted, batch(records.begin() + 30, records.end()));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("journal file " + journal + ": ", 0), 0u) << warnings[0];
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_FALSE(fs::exists(qvd::journal::parts_mark_file(journal)));

    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
}

} // namespace
