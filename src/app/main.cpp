#include "app/application.hpp"

#include <csignal>

int main(int argc, char** argv) {
    // A write beyond a file-size limit then fails with EFBIG like any other write error, instead of
    // ending the process in the middle of a batch.
    std::signal(SIGXFSZ, SIG_IGN);
    // A daemon has no terminal: a hang-up (a closed terminal, a generic kill -HUP) must not stop
    // a batch half way.
    std::signal(SIGHUP, SIG_IGN);
    qvd::application application{};
    return application.run(argc, argv);
}
