// Stand-in for the platform's Bluetooth attach service "hciattach": it only
// has to be there to be stopped. Runs until SIGTERM.
#include "simcore.h"

#include <csignal>
#include <unistd.h>

int main() {
    sim::event("hciattach", "attached (dummy)");
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGINT);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    int sig = 0;
    sigwait(&term, &sig);
    sim::event("hciattach", "detached");
    return 0;
}
