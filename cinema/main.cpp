// KVT-Cinema: serves one movie request on the connection handed over by the supervisor.
#include "cinema/cinema.h"

int main(int argc, char **argv) {
    return cinema_main(argc, argv);
}
