// KVT-Fetcher: program entry.
#include "fetcher.h"

int main(int argc, char **argv) {
    return fetcher_main(argc, argv);
}
