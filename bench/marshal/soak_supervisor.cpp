// KVT-Marshal for the soak benchmark: the supervisor as built, started with
// -handover_ms=0 in front of the given options, so that ten thousand child starts
// take minutes instead of hours.
#include <vector>

#include "marshal/marshal.h"

int main(int argc, char **argv) {
    std::vector<char *> args(argv, argv + argc);
    static char handover[] = "-handover_ms=0";
    args.insert(args.begin() + 1, handover);
    args.push_back(nullptr);
    return marshal_main(argc + 1, args.data());
}
