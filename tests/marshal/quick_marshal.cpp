// KVT-Marshal for long system tests: the supervisor as built, started with
// -handover_ms=100 in front of the test's own options, so that hundreds of child
// starts fit a test's time. The monitor watches a new child from its next 2-second
// wait on, so up to about 20 ended children wait there for it, as 2 do with the full
// pause.
#include <vector>

#include "marshal/marshal.h"

int main(int argc, char **argv) {
    std::vector<char *> args(argv, argv + argc);
    static char handover[] = "-handover_ms=100";
    args.insert(args.begin() + 1, handover);
    args.push_back(nullptr);
    return marshal_main(argc + 1, args.data());
}
