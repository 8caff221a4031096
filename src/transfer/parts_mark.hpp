#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/optional.hpp>

namespace qvd {
namespace journal {

// The mark a recovery leaves beside a journal before it inserts the batch in more than one part or
// from a record other than the first: the records from which the parts begin, and the batch's size
// and fingerprint, so that a mark is never taken for another batch. Without a mark a journal went
// in whole or not at all.
struct parts_mark {
    std::uint64_t fingerprint = 0;
    std::size_t size = 0;
    // Ascending, the last one the batch's size: the parts are [cuts[i], cuts[i + 1]). Records before
    // the first cut were found arrived before the parts were inserted.
    std::vector<std::size_t> cuts;
};

// Fingerprint of a journal text (64-bit FNV-1a).
std::uint64_t fingerprint(const std::string& _text);

// _journal + ".parts".
std::string parts_mark_file(const std::string& _journal);

// Writes the mark durably (synced temporary file renamed onto it, directory synced), its lines
// followed by a checksum of them.
void write_parts_mark(const std::string& _journal, const parts_mark& _mark);

// The mark beside _journal when there is one: boost::none when no mark exists. A mark that cannot
// be read, fails its own check or makes no sense comes back with no cuts: the batch may be partly
// in, anywhere. A mark of the earlier format, which has no check, is read as it stands.
boost::optional<parts_mark> read_parts_mark(const std::string& _journal);

// Removes the mark; a missing one is no error.
void remove_parts_mark(const std::string& _journal);

} // namespace journal
} // namespace qvd
