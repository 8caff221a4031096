#pragma once

#include <string>

// Build constants, generated into the library's version source.
namespace qvd::libs::core::constants {

extern const std::string git_version;
extern const std::string git_subversion;
extern const std::string library_name;
// The program's name.
extern const std::string project_name;
// Absolute source tree of the build; only its length is used, to shorten file names.
extern const std::string source_directory;

} // namespace qvd::libs::core::constants
