// Shows how time passes for processes of the clock: in the process itself,
// a forked child, a detached (setsid) grandchild and an exec'd detached
// process, each sleeps with usleep and then waits on a CLOCK_MONOTONIC
// deadline, both for the given device seconds, and prints what it saw:
//   <role> sleep_device=<s> sleep_real=<s> deadline_real=<s>
// (real time read past libfaketime with a raw system call).
#include "simcore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double deviceNow() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double realNow() { return static_cast<double>(sim::realNanos()) / 1e9; }

void measure(const char* role, double seconds) {
    double d0 = deviceNow(), r0 = realNow();
    usleep(static_cast<useconds_t>(seconds * 1e6));
    double d1 = deviceNow(), r1 = realNow();
    double deadline = d1 + seconds;
    while (deviceNow() < deadline) usleep(1000);
    double r2 = realNow();
    char line[160];
    int n = std::snprintf(line, sizeof line, "%s sleep_device=%.4f sleep_real=%.4f deadline_real=%.4f\n", role,
                          d1 - d0, r1 - r0, r2 - r1);
    ssize_t w = write(1, line, static_cast<std::size_t>(n));
    (void)w;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (argc > 3 && std::strcmp(argv[2], "--role") == 0) {
        measure(argv[3], seconds);
        return 0;
    }
    pid_t forked = fork();
    if (forked == 0) {
        measure("fork", seconds);
        _exit(0);
    }
    pid_t detached = fork();
    if (detached == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild == 0) {
            measure("setsid", seconds);
            _exit(0);
        }
        waitpid(grandchild, nullptr, 0);
        _exit(0);
    }
    pid_t execed = fork();
    if (execed == 0) {
        setsid();
        execl("/proc/self/exe", "simtime", argv[1] ? argv[1] : "1", "--role", "exec", static_cast<char*>(nullptr));
        _exit(127);
    }
    measure("parent", seconds);
    for (pid_t p : {forked, detached, execed}) waitpid(p, nullptr, 0);
    return 0;
}
