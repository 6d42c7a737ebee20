// Writes the default configuration file to the path given, with the very code a server uses on its first start,
// so the file the package and the image ship is the one the server would write.
#include <cstdio>

#include "config/config_loading.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: murva-default-config PATH (PATH must not exist)\n");
        return 2;
    }
    if (!murva::writeDefaultConfig(argv[1])) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
