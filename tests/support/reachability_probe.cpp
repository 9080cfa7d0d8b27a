// stampo-reachability-probe HOST: exits 0 when HOST is reachable by HostReachability's judgement, 1 when not.
#include "net/Reachability.h"

int main(int argc, char** argv) {
    return argc == 2 && stampo::HostReachability{argv[1]}.isReachable({}) ? 0 : 1;
}
