// The order in which a journal reaches the disk, seen at the system calls: the text is written
// and synced under the temporary name, renamed onto the journal's name, and the directory synced
// last. A journal missing any of these may be empty or absent after a power loss while its rows
// are already inserted and deleted.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "transfer/journal.hpp"

namespace {

// The calls seen while recording, as "call path[ path]".
std::vector<std::string>* g_calls = nullptr;

std::string path_of(int _fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", _fd);
    char target[4096];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    return length < 0 ? std::string("?") : std::string(target, static_cast<std::size_t>(length));
}

void record(const std::string& _call) {
    std::vector<std::string>* const calls = g_calls;
    if (calls == nullptr)
        return;
    g_calls = nullptr;
    calls->push_back(_call);
    g_calls = calls;
}

template <class Function>
Function next(const char* _name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, _name));
}

} // namespace

// The journal code calls these through the dynamic linker: the test program's definitions come
// first, record the call and pass it on.
extern "C" {

ssize_t write(int _fd, const void* _buffer, size_t _count) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (g_calls != nullptr)
        record("write " + path_of(_fd));
    return real(_fd, _buffer, _count);
}

int fsync(int _fd) {
    static const auto real = next<int (*)(int)>("fsync");
    if (g_calls != nullptr)
        record("fsync " + path_of(_fd));
    return real(_fd);
}

int rename(const char* _old, const char* _new) noexcept {
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    if (g_calls != nullptr)
        record(std::string("rename ") + _old + " " + _new);
    return real(_old, _new);
}
}

namespace {

namespace fs = boost::filesystem;

TEST(journal_sync, text_synced_under_the_temporary_name_then_renamed_then_the_directory_synced) {
    const fs::path dir = fs::canonical(fs::temp_directory_path()) / fs::unique_path("lomvera-journal-sync-%%%%-%%%%");
    fs::create_directories(dir);
    const std::string file = (dir / "positions_raw.bin").string();
    const std::string temporary = file + ".tmp";

    std::vector<std::string> calls;
    g_calls = &calls;
    qvd::journal::write_file(file, std::string(100000, 'x'));
    g_calls = nullptr;

    // Repeated writes of one file count once; other calls are none of this test's business.
    std::vector<std::string> seen;
    for (const std::string& call : calls)
        if (call.find(dir.string()) != std::string::npos && (seen.empty() || seen.back() != call))
            seen.push_back(call);
    EXPECT_EQ(seen, (std::vector<std::string>{"write " + temporary, "fsync " + temporary,
                                              "rename " + temporary + " " + file, "fsync " + dir.string()}));
    EXPECT_EQ(qvd::journal::read_file(file), std::string(100000, 'x'));
    fs::remove_all(dir);
}

} // namespace
