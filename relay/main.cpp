// KVT-Relay: serves one live-channel request on the connection handed over by the
// supervisor, then ends with the severity of its last message as exit code.
#include <cstdio>
#include <cstdlib>

#include "relay/relay.h"

int main(int argc, char **argv) {
    int code = relay_main(argc, argv);
    // A thread that did not stop in time may still hold the wait objects; end the
    // process without running static destructors under it.
    fflush(stdout);
    std::_Exit(code);
}
