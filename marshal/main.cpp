// KVT-Marshal: the supervisor's program entry.
#include "marshal.h"

int main(int argc, char **argv) {
    return marshal_main(argc, argv);
}
