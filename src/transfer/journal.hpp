#pragma once

#include <string>
#include <utility>
#include <vector>

#include <core/source_location.hpp>

namespace qvd {
namespace journal {

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

// Whole content of _file; throws naming the path when it cannot be opened or read.
std::string read_file(const std::string& _file);

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
