#include "transfer/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_text_iarchive.ipp>
#include <boost/archive/impl/text_iarchive_impl.ipp>
#include <boost/serialization/collection_size_type.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/serialization/optional.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include <core/exception.hpp>
#include <core/posix.hpp>

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

namespace qvd {
namespace journal {
namespace detail {

// The text archive with its length and count reads checked against the text left: a journal of a
// few bytes that claims millions of records or a string of gigabytes is refused before anything of
// that size is allocated, so a journal never takes memory out of proportion to its size. Reads
// what the text archive reads, byte for byte.
class bounded_iarchive : public boost::archive::text_iarchive_impl<bounded_iarchive> {
public:
    // _stream is a string stream holding the whole text. Each record of the batch takes at least
    // _min_record_bytes of text.
    bounded_iarchive(std::istream& _stream, std::size_t _min_record_bytes)
        : boost::archive::text_iarchive_impl<bounded_iarchive>(_stream, 0), m_min_record_bytes(_min_record_bytes) {
        init();
    }

protected:
    friend class boost::archive::detail::interface_iarchive<bounded_iarchive>;
    friend class boost::archive::load_access;

    using boost::archive::text_iarchive_impl<bounded_iarchive>::load;

    void load(std::string& _value) {
        std::size_t size = 0;
        *this->This() >> size;
        // The one separator after the length, whatever it is.
        is.get();
        if (size > remaining())
            throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
        _value.resize(size);
        if (size > 0)
            is.read(&_value[0], static_cast<std::streamsize>(size));
    }

    // The only collection of a journal is its batch.
    void load(boost::serialization::collection_size_type& _count) {
        std::size_t count = 0;
        *this->This() >> count;
        if (count > remaining() / m_min_record_bytes)
            throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
        _count = boost::serialization::collection_size_type(count);
    }

private:
    // Bytes of the text not read yet; exact for a string stream.
    std::size_t remaining() const {
        const std::streamsize available = is.rdbuf()->in_avail();
        return available > 0 ? static_cast<std::size_t>(available) : 0;
    }

    const std::size_t m_min_record_bytes;
};

} // namespace detail
} // namespace journal
} // namespace qvd

namespace boost {
namespace archive {

template class basic_text_iarchive<qvd::journal::detail::bounded_iarchive>;
template class text_iarchive_impl<qvd::journal::detail::bounded_iarchive>;
template class detail::archive_serializer_map<qvd::journal::detail::bounded_iarchive>;

} // namespace archive
} // namespace boost

namespace qvd {
namespace journal {

namespace {

// Counts the values a record hands to an archive.
struct value_counter {
    using is_loading = std::false_type;
    using is_saving = std::true_type;

    template <typename T>
    value_counter& operator&(const T&) {
        ++m_count;
        return *this;
    }

    std::size_t m_count = 0;
};

// Each value of a record takes at least one byte of text: a digit of a number, a presence flag, a
// string's length digit.
template <typename Record>
std::size_t minimum_record_bytes() {
    Record record{};
    value_counter counter;
    record.serialize(counter, 0);
    return std::max<std::size_t>(counter.m_count, 1);
}

[[noreturn]] void throw_error(int _error, const std::string& _what, const std::string& _path,
                              const libs::core::source_location& _location) {
    throw libs::core::exception(_what + " " + _path + ": " + std::strerror(_error), _location);
}

// Callers pass only texts that need no allocation, so errno is still the failed call's.
[[noreturn]] void throw_errno(const char* _what, const std::string& _path,
                              const libs::core::source_location& _location) {
    throw_error(errno, _what, _path, _location);
}

const char* file_type_name(const mode_t _mode) {
    if (S_ISDIR(_mode))
        return "a directory";
    if (S_ISFIFO(_mode))
        return "a FIFO";
    if (S_ISCHR(_mode))
        return "a character device";
    if (S_ISBLK(_mode))
        return "a block device";
    if (S_ISSOCK(_mode))
        return "a socket";
    return "of another type";
}

[[noreturn]] void throw_not_regular(const std::string& _file, const mode_t _mode) {
    throw libs::core::exception("journal file " + _file + " is not a regular file (" + file_type_name(_mode) +
                                    "): not read",
                                QVD_SOURCE_LOCATION);
}

std::string directory_of(const std::string& _file) {
    const auto slash = _file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return _file.substr(0, slash);
}

void sync_directory(const std::string& _file) {
    const std::string directory = directory_of(_file);
    const libs::core::unique_descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        throw_errno("cannot open journal directory", directory, QVD_SOURCE_LOCATION);
    if (::fsync(fd.get()) != 0)
        throw_errno("cannot sync journal directory", directory, QVD_SOURCE_LOCATION);
}

} // namespace

template <typename Record>
std::string to_string(const std::vector<Record>& _batch) {
    std::stringstream stream;
    boost::archive::text_oarchive archive(stream);
    archive << _batch;
    // Taken before the archive's destructor appends its newline.
    return stream.str();
}

template <typename Record>
std::vector<Record> from_string(const std::string& _string) {
    static const std::size_t min_record_bytes = minimum_record_bytes<Record>();
    std::istringstream stream(_string);
    detail::bounded_iarchive archive(stream, min_record_bytes);
    std::vector<Record> batch;
    archive >> batch;
    // The archive does not check its string reads: a text cut inside a string leaves the stream
    // failed with a short value taken. Reaching the end after the last number is fine.
    if (stream.fail())
        throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
    // The writer ends the text with the batch's last value; anything after it (a second batch, a
    // count smaller than the records written) means the file is not the batch it claims to be.
    if (stream.rdbuf()->in_avail() > 0)
        throw std::runtime_error("text after the batch");
    return batch;
}

template <typename Record>
std::vector<Record> from_file(const std::string& _file, const libs::core::source_location& _location) {
    const std::string text = read_file(_file, largest_journal);
    try {
        return from_string<Record>(text);
    } catch (const std::exception& error) {
        // Kept, not removed, for the operator; its rows may have arrived, so the kind's next
        // batch is checked against the column store (the set-aside file tells so after a restart).
        std::string message = "journal file " + _file + " cannot be parsed (" + error.what() + ")";
        try {
            message +=
                ": set aside as " + move_aside(_file) +
                "; the next batches of its kind are inserted only where they did not arrive, until one shows a record missing";
        } catch (const std::exception& move_error) {
            message += "; ";
            message += move_error.what();
        }
        throw libs::core::exception(message, _location);
    }
}

void write_file(const std::string& _file, const std::string& _text) {
    const std::string temporary = _file + ".tmp";
    {
        // O_TRUNC replaces whatever a crash left under the temporary name.
        libs::core::unique_descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid())
            throw_errno("cannot create journal file", temporary, QVD_SOURCE_LOCATION);
        try {
            if (!libs::core::write_all(fd.get(), _text))
                throw_errno("cannot write journal file", temporary, QVD_SOURCE_LOCATION);
            if (::fsync(fd.get()) != 0)
                throw_errno("cannot sync journal file", temporary, QVD_SOURCE_LOCATION);
            if (fd.close() != 0)
                throw_errno("cannot close journal file", temporary, QVD_SOURCE_LOCATION);
        } catch (...) {
            ::unlink(temporary.c_str());
            throw;
        }
    }
    if (::rename(temporary.c_str(), _file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw_error(error, "cannot rename journal file " + temporary + " to", _file, QVD_SOURCE_LOCATION);
    }
    sync_directory(_file);
}

std::string read_file(const std::string& _file, const std::size_t _bound) {
    // Looked at before the open, so that opening a device in the journal's place has no effect of
    // its own; checked again on the descriptor, which is what is read.
    struct stat status;
    if (::stat(_file.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw_not_regular(_file, status.st_mode);
    const libs::core::unique_descriptor fd(::open(_file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        throw_errno("cannot open journal file", _file, QVD_SOURCE_LOCATION);
    if (::fstat(fd.get(), &status) != 0)
        throw_errno("cannot read journal file", _file, QVD_SOURCE_LOCATION);
    if (!S_ISREG(status.st_mode))
        throw_not_regular(_file, status.st_mode);
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size > _bound)
        throw libs::core::exception("journal file " + _file + " holds " + std::to_string(size) +
                                        " bytes, more than the " + std::to_string(_bound) +
                                        " that a journal of its kind can take: not read",
                                    QVD_SOURCE_LOCATION);
    // What is appended after the open is not read: the text is the file as it was then.
    std::string text;
    text.reserve(size);
    if (!libs::core::read_up_to(fd.get(), size, text))
        throw_errno("cannot read journal file", _file, QVD_SOURCE_LOCATION);
    return text;
}

namespace {

// Renames _from to the first free name of _from + _suffix, then _from + _suffix + ".1", ...;
// returns that name. A failure names both files after _what.
std::string rename_to_free_name(const std::string& _from, const std::string& _suffix, const std::string& _what) {
    std::string target = _from + _suffix;
    struct stat status;
    for (unsigned int n = 1; ::lstat(target.c_str(), &status) == 0; ++n)
        target = _from + _suffix + "." + std::to_string(n);
    if (::rename(_from.c_str(), target.c_str()) != 0) {
        const int error = errno;
        throw_error(error, _what + " " + _from + " to", target, QVD_SOURCE_LOCATION);
    }
    return target;
}

} // namespace

std::string move_aside(const std::string& _file) {
    const std::string target = rename_to_free_name(_file, ".bad", "cannot move aside journal file");
    try {
        sync_directory(_file);
    } catch (const std::exception&) {
        // The file is already out of the way; a lost rename only brings the same failure back.
    }
    return target;
}

namespace {

// Whether _name is one of _file's set-aside journals not settled yet: _file's name + ".bad", or
// + ".bad." and a number (the names move_aside gives).
bool unsettled_set_aside(const std::string& _name, const std::string& _prefix) {
    if (_name.compare(0, _prefix.size(), _prefix) != 0)
        return false;
    const std::string rest = _name.substr(_prefix.size());
    if (rest.empty())
        return true;
    return rest.size() > 1 && rest[0] == '.' &&
           std::all_of(rest.begin() + 1, rest.end(), [](const char _c) { return _c >= '0' && _c <= '9'; });
}

// The names of _file's set-aside journals not settled yet in its directory, sorted; _error tells
// when the directory could not be listed to the end.
std::vector<std::string> unsettled_set_asides(const std::string& _file, boost::system::error_code& _error) {
    const std::string prefix = _file.substr(_file.rfind('/') + 1) + ".bad";
    std::vector<std::string> names;
    for (boost::filesystem::directory_iterator entry(directory_of(_file), _error), end; !_error && entry != end;
         entry.increment(_error)) {
        std::string name = entry->path().filename().string();
        if (unsettled_set_aside(name, prefix))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

bool set_aside_exists(const std::string& _file) {
    boost::system::error_code error;
    // A directory that cannot be listed cannot tell: count the journal as set aside.
    return !unsettled_set_asides(_file, error).empty() || error;
}

std::vector<std::pair<std::string, std::string>> settle_set_aside(const std::string& _file) {
    boost::system::error_code error;
    const std::vector<std::string> names = unsettled_set_asides(_file, error);
    if (error)
        throw boost::filesystem::filesystem_error("cannot list the set-aside journal files", directory_of(_file),
                                                  error);
    std::vector<std::pair<std::string, std::string>> renamed;
    for (const std::string& name : names) {
        const std::string from = directory_of(_file) + "/" + name;
        renamed.emplace_back(from, rename_to_free_name(from, ".settled", "cannot rename set-aside journal file"));
    }
    if (!renamed.empty())
        sync_directory(_file);
    return renamed;
}

#define JOURNAL_KIND(record)                                                                                           \
    template std::string to_string<record>(const std::vector<record>&);                                                \
    template std::vector<record> from_string<record>(const std::string&);                                              \
    template std::vector<record> from_file<record>(const std::string&, const libs::core::source_location&);

JOURNAL_KIND(position)
JOURNAL_KIND(external_event)
JOURNAL_KIND(zone_event)
JOURNAL_KIND(activity)
JOURNAL_KIND(vehicle_driver_association)
JOURNAL_KIND(heartbeat)
JOURNAL_KIND(node_parameter)

#undef JOURNAL_KIND

} // namespace journal
} // namespace qvd
