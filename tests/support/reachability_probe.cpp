// stampo-reachability-probe HOST: exits 0 when HOST is reachable by HostReachability's judgement, 1 when not.
#include "net/Reachability.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: stampo-reachability-probe HOST\n", stderr);
        return 2;
    }
    return stampo::HostReachability{argv[1]}.isReachable() ? 0 : 1;
}
