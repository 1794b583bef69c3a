// KVT-Keeper: program entry.
#include "companions/keeper/keeper.h"

int main(int argc, char **argv) {
    return keeper_main(argc, argv);
}
