#pragma once

#include <istream>
#include <string>

namespace qvd {

// Every setting of the program, read once from the JSON configuration file.
struct config {
    // Reads and checks every key; throws one exception listing every missing or invalid key.
    explicit config(std::istream& _stream);

    // Reads the regular file _file_name, of at most 16 MiB; one that cannot be opened or read, is no
    // regular file or is larger fails as unparsable JSON does, with the path and the reason.
    static config from_file(const std::string& _file_name);

    struct {
        std::string persistent_data_dir; // prefix of every journal file name, "/"-terminated for a directory
        std::string pidfile_path;
        unsigned int timer = 0; // seconds between transfer cycles
        unsigned int maximum_piece = 0;
        unsigned int activities_maximum_piece = 0;
        std::string debug_port; // ZeroMQ endpoint of the log stream
        bool local_debug = false;
        // Seconds a database may stay silent in a connect, read or write before it fails; optional.
        unsigned int database_timeout = 300;
    } system;

    // The column store.
    struct {
        std::string host;
        std::string user;
        std::string password;
        std::string database;
        unsigned int port = 0;
    } dw;

    // The runtime database.
    struct {
        std::string host;
        std::string user;
        std::string password;
        std::string database;
        unsigned int port = 0;
    } prod;
};

} // namespace qvd
