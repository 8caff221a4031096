#include "transfer/parts_mark.hpp"

#include <sstream>

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"

namespace qvd {
namespace journal {

namespace {

// The mark's lines end with a checksum line of their own: the fingerprint of every byte before it.
const char* const mark_header = "lomvera parts 2";
// The format of earlier versions, without a check: still read, so that an upgrade in the middle of
// a split recovery finishes it.
const char* const unchecked_mark_header = "lomvera parts 1";

} // namespace

std::uint64_t fingerprint(const std::string& _text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : _text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string parts_mark_file(const std::string& _journal) { return _journal + ".parts"; }

void write_parts_mark(const std::string& _journal, const parts_mark& _mark) {
    std::ostringstream text;
    text << mark_header << '\n' << _mark.fingerprint << '\n' << _mark.size << '\n';
    for (std::size_t i = 0; i < _mark.cuts.size(); ++i)
        text << (i == 0 ? "" : " ") << _mark.cuts[i];
    text << '\n';
    text << fingerprint(text.str()) << '\n';
    write_file(parts_mark_file(_journal), text.str());
}

boost::optional<parts_mark> read_parts_mark(const std::string& _journal) {
    const std::string file = parts_mark_file(_journal);
    boost::system::error_code error;
    // A mark that cannot be looked for may be there.
    if (boost::filesystem::symlink_status(file, error).type() == boost::filesystem::file_not_found)
        return boost::none;
    parts_mark mark;
    try {
        std::string content = read_file(file);
        std::istringstream header_line(content);
        std::string header;
        std::getline(header_line, header);
        if (header == mark_header) {
            // The checksum line is the last; what it covers ends with the newline before it.
            const auto last = content.size() >= 2 ? content.rfind('\n', content.size() - 2) : std::string::npos;
            if (last == std::string::npos || content.back() != '\n')
                return mark;
            std::istringstream check(content.substr(last + 1));
            std::uint64_t sum = 0;
            std::string rest;
            if (!(check >> sum) || check >> rest || sum != fingerprint(content.substr(0, last + 1)))
                return mark;
            content.erase(last + 1);
        } else if (header != unchecked_mark_header)
            return mark;
        std::istringstream text(content);
        std::getline(text, header);
        std::vector<std::size_t> cuts;
        if (text >> mark.fingerprint >> mark.size) {
            for (std::size_t cut = 0; text >> cut;)
                cuts.push_back(cut);
            bool sound = text.eof() && cuts.size() >= 2 && cuts.back() == mark.size;
            for (std::size_t i = 1; sound && i < cuts.size(); ++i)
                sound = cuts[i - 1] < cuts[i];
            if (sound)
                mark.cuts = cuts;
        }
    } catch (const std::exception&) {
        // Unreadable: taken as a mark without parts.
    }
    return mark;
}

void remove_parts_mark(const std::string& _journal) { boost::filesystem::remove(parts_mark_file(_journal)); }

} // namespace journal
} // namespace qvd
