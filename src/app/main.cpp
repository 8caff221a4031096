#include "app/application.hpp"

int main(int argc, char** argv) {
    qvd::application application{};
    return application.run(argc, argv);
}
