// KVT-Marshal for long system tests: the supervisor as built, with the 1-second pause
// before it closes its copy of a handed-over player socket cut to 100 ms (the pause
// that a measurement of this process may shorten), so that hundreds of child starts
// fit a test's time. The monitor watches a new child from its next 2-second wait on,
// so up to about 20 ended children wait there for it, as 2 do with the full pause.
#include "marshal/marshal.h"

int main(int argc, char **argv) {
    g_player_handover_ms = 100;
    return marshal_main(argc, argv);
}
