#include "transfer/journal.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
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

namespace {

[[noreturn]] void throw_error(int _error, const std::string& _what, const std::string& _path,
                              const libs::core::source_location& _location)
{
    throw libs::core::exception(_what + " " + _path + ": " + std::strerror(_error), _location);
}

// Callers pass only texts that need no allocation, so errno is still the failed call's.
[[noreturn]] void throw_errno(const char* _what, const std::string& _path,
                              const libs::core::source_location& _location)
{
    throw_error(errno, _what, _path, _location);
}

std::string directory_of(const std::string& _file)
{
    const auto slash = _file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return _file.substr(0, slash);
}

void sync_directory(const std::string& _file)
{
    const std::string directory = directory_of(_file);
    const libs::core::unique_descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        throw_errno("cannot open journal directory", directory, QVD_SOURCE_LOCATION);
    if (::fsync(fd.get()) != 0)
        throw_errno("cannot sync journal directory", directory, QVD_SOURCE_LOCATION);
}

} // namespace

template <typename Record>
std::string to_string(const std::vector<Record>& _batch)
{
    std::stringstream stream;
    boost::archive::text_oarchive archive(stream);
    archive << _batch;
    // Taken before the archive's destructor appends its newline.
    return stream.str();
}

template <typename Record>
std::vector<Record> from_string(const std::string& _string)
{
    std::stringstream stream(_string);
    boost::archive::text_iarchive archive(stream);
    std::vector<Record> batch;
    archive >> batch;
    // The archive does not check its string reads: a text cut inside a string leaves the stream
    // failed with a short value taken. Reaching the end after the last number is fine.
    if (stream.fail())
        throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
    return batch;
}

template <typename Record>
std::vector<Record> from_file(const std::string& _file, const libs::core::source_location& _location)
{
    const std::string text = read_file(_file);
    try
    {
        return from_string<Record>(text);
    }
    catch (const std::exception& error)
    {
        // Kept, not removed, for the operator; its rows may have arrived, so the kind's next
        // batch is checked against the column store (the set-aside file tells so after a restart).
        std::string message = "journal file " + _file + " cannot be parsed (" + error.what() + ")";
        try
        {
            message += ": set aside as " + move_aside(_file) +
                       "; the next batch of its kind is inserted only where it did not arrive";
        }
        catch (const std::exception& move_error)
        {
            message += "; ";
            message += move_error.what();
        }
        throw libs::core::exception(message, _location);
    }
}

void write_file(const std::string& _file, const std::string& _text)
{
    const std::string temporary = _file + ".tmp";
    {
        // O_TRUNC replaces whatever a crash left under the temporary name.
        libs::core::unique_descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid())
            throw_errno("cannot create journal file", temporary, QVD_SOURCE_LOCATION);
        try
        {
            if (!libs::core::write_all(fd.get(), _text))
                throw_errno("cannot write journal file", temporary, QVD_SOURCE_LOCATION);
            if (::fsync(fd.get()) != 0)
                throw_errno("cannot sync journal file", temporary, QVD_SOURCE_LOCATION);
            if (fd.close() != 0)
                throw_errno("cannot close journal file", temporary, QVD_SOURCE_LOCATION);
        }
        catch (...)
        {
            ::unlink(temporary.c_str());
            throw;
        }
    }
    if (::rename(temporary.c_str(), _file.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw_error(error, "cannot rename journal file " + temporary + " to", _file, QVD_SOURCE_LOCATION);
    }
    sync_directory(_file);
}

std::string read_file(const std::string& _file)
{
    const libs::core::unique_descriptor fd(::open(_file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        throw_errno("cannot open journal file", _file, QVD_SOURCE_LOCATION);
    std::string text;
    if (!libs::core::read_all(fd.get(), text))
        throw_errno("cannot read journal file", _file, QVD_SOURCE_LOCATION);
    return text;
}

std::string move_aside(const std::string& _file)
{
    std::string target = _file + ".bad";
    struct stat status;
    for (unsigned int n = 1; ::lstat(target.c_str(), &status) == 0; ++n)
        target = _file + ".bad." + std::to_string(n);
    if (::rename(_file.c_str(), target.c_str()) != 0)
    {
        const int error = errno;
        throw_error(error, "cannot move aside journal file " + _file + " to", target, QVD_SOURCE_LOCATION);
    }
    try
    {
        sync_directory(_file);
    }
    catch (const std::exception&)
    {
        // The file is already out of the way; a lost rename only brings the same failure back.
    }
    return target;
}

bool set_aside_exists(const std::string& _file)
{
    const std::string directory = directory_of(_file);
    const std::string prefix = _file.substr(_file.rfind('/') + 1) + ".bad";
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error))
    {
        if (entry->path().filename().string().compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    // A directory that cannot be listed cannot tell: count the journal as set aside.
    return static_cast<bool>(error);
}

#define JOURNAL_KIND(record)                                                                                      \
    template std::string to_string<record>(const std::vector<record>&);                                           \
    template std::vector<record> from_string<record>(const std::string&);                                         \
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
