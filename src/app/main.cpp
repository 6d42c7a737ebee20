// murva-signal: a WebRTC signaling server for two-member rooms.
#include <cstdio>

#include "app/startup.hpp"

int main(int argc, char** argv) {
    // Line-buffered even into a pipe or file, so a supervisor's log shows each line as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return murva::runServer(argc, argv);
}
