// KVT-Marshal for the soak benchmark: the supervisor as built, with the 1-second
// handover pause set to 0 as bench_marshal does in its own process, so that ten
// thousand child starts take minutes instead of hours.
#include "marshal/marshal.h"

int main(int argc, char **argv) {
    g_player_handover_ms = 0;
    return marshal_main(argc, argv);
}
