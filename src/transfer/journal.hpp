#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <core/source_location.hpp>

namespace qvd {
namespace journal {

// The most bytes a journal file can rightly hold. A batch is journalled only when its INSERT fits
// into one packet of the column store, no packet is larger than 1 GiB (the server's ceiling of
// max_allowed_packet), and a batch's journal text is never longer than twice its INSERT.
constexpr std::size_t largest_journal = std::size_t(2) << 30;

// The most bytes of a file kept beside a journal (its parts mark: a few numbers per part).
constexpr std::size_t largest_journal_companion = std::size_t(16) << 20;

// Journal text of a batch: a Boost text archive of the vector, without a closing newline.
template <typename Record>
std::string to_string(const std::vector<Record>& _batch);

// Batch held in a journal text; a text cut short, or claiming more records or string bytes than it
// holds, fails with "input stream error", and one with text after the batch fails too.
template <typename Record>
std::vector<Record> from_string(const std::string& _string);

// Batch held in a journal file. A file that cannot be read stays in place; one that cannot be
// parsed is moved aside and the failure names both paths; both fail with an exception located at
// _location.
template <typename Record>
std::vector<Record> from_file(const std::string& _file, const libs::core::source_location& _location);

// Writes _text to _file through a synced temporary file renamed onto it, then syncs the directory.
void write_file(const std::string& _file, const std::string& _text);

// Whole content of _file as it was when opened. Only a regular file is read, opened without
// blocking (a FIFO or a device in its place is never waited on nor read), and only when it holds
// at most _bound bytes; otherwise, or when it cannot be opened or read, throws naming the path.
std::string read_file(const std::string& _file, std::size_t _bound = largest_journal_companion);

// Whether a journal of _file's name was set aside beside it and is not settled yet (some _file +
// ".bad" or _file + ".bad.N" exists); true when the directory cannot be listed.
bool set_aside_exists(const std::string& _file);

// Settles the journals of _file's name set aside beside it: each is renamed to its name +
// ".settled" (or ".settled.N" when that is taken), and the directory synced. Returns the pairs of
// old and new names; throws naming the file it could not rename.
std::vector<std::pair<std::string, std::string>> settle_set_aside(const std::string& _file);

// Renames _file to the first free name of _file + ".bad", ".bad.1", ...; returns that name.
std::string move_aside(const std::string& _file);

} // namespace journal
} // namespace qvd
