// The platform's "/bin/setprop" on the simulated clock: stores a property,
// or starts and stops a service for "ctl.start" and "ctl.stop".
//
// Exit status 0 exactly when the property was set (or the service request
// was carried out); every call is one line in the event log, stamped when it
// returns. Scripted faults (fail, hang, refuse to stop) come from the control
// directory and may change between calls.
#include "simcore.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Service {
    const char* name;
    const char* path;
};

constexpr Service SERVICES[] = {
    {"zkswe", "/bin/zkswe"},
    {"hciattach", "/bin/hciattach"},
};

// Time a service gets after SIGTERM before it is killed, in device ms.
constexpr int STOP_GRACE_MS = 5000;
// Time the monitor gets to record the exit before ctl.stop returns.
constexpr int MONITOR_WAIT_MS = 1000;

const Service* findService(const std::string& name) {
    for (const auto& s : SERVICES) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

std::string pidFile(const std::string& svc) { return std::string(sim::SERVICES_DIR) + "/" + svc + ".pid"; }

// Start time of a process in clock ticks; -1 when it is gone or a zombie,
// so a reused process id is never mistaken for the service.
long long startTime(int pid) {
    std::string stat;
    if (!sim::readFile("/proc/" + std::to_string(pid) + "/stat", stat, 4096)) return -1;
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return -1;
    if (stat[close + 2] == 'Z' || stat[close + 2] == 'X') return -1;
    // Field 22 is the start time; fields after the command start at 3.
    std::size_t pos = close + 2;
    for (int field = 3; field < 22; ++field) {
        pos = stat.find(' ', pos);
        if (pos == std::string::npos) return -1;
        ++pos;
    }
    return std::atoll(stat.c_str() + pos);
}

struct Running {
    int pid = 0;
    long long start = 0;
    int monitor = 0;
};

bool running(const std::string& svc, Running& r) {
    std::string text;
    if (!sim::readFile(pidFile(svc), text, 256)) return false;
    if (std::sscanf(text.c_str(), "%d %lld %d", &r.pid, &r.start, &r.monitor) != 3) return false;
    return r.pid > 0 && startTime(r.pid) == r.start;
}

int lockService(const std::string& svc) {
    std::string path = std::string(sim::SERVICES_DIR) + "/" + svc + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) flock(fd, LOCK_EX);
    return fd;
}

int pidfdOpen(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Waits until the process has ended; false on timeout. timeoutMs < 0 waits
// without bound.
bool waitGone(int pid, long long start, int timeoutMs) {
    int fd = pidfdOpen(pid);
    if (fd >= 0) {
        struct pollfd p {fd, POLLIN, 0};
        int n;
        do {
            n = poll(&p, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        close(fd);
        if (n != 0) return true;
        return startTime(pid) != start;
    }
    // No pidfd (old kernel or emulator): look every 10 ms.
    for (int waited = 0; timeoutMs < 0 || waited <= timeoutMs; waited += 10) {
        if (startTime(pid) != start) return true;
        sim::sleepSeconds(0.01);
    }
    return false;
}

// On an ARM clock the service runs in the user namespace whose binfmt_misc
// knows qemu-arm, so that the ARM host and the ARM programs it starts run.
// A caller already inside it (the boot control restarting the host) stays:
// setns into one's own user namespace fails.
void joinArmNamespace(const Service& svc) {
    struct stat target {}, own {};
    if (stat(sim::ARM_USERNS, &target) != 0) return;
    if (stat("/proc/self/ns/user", &own) == 0 && own.st_dev == target.st_dev && own.st_ino == target.st_ino)
        return;
    int fd = open(sim::ARM_USERNS, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWUSER) != 0)
        sim::event(svc.name, std::string("cannot join the ARM user namespace: ") + std::strerror(errno));
    if (fd >= 0) close(fd);
}

[[noreturn]] void execService(const Service& svc) {
    joinArmNamespace(svc);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
    int ws = open(sim::WORKSPACE_FILE, O_RDWR);
    if (ws >= 0 && ws != sim::WORKSPACE_FD) {
        dup2(ws, sim::WORKSPACE_FD);
        close(ws);
    }
    std::string env = std::to_string(sim::WORKSPACE_FD) + "," + std::to_string(sim::WORKSPACE_SIZE);
    setenv(sim::WORKSPACE_ENV, env.c_str(), 1);
    execl(svc.path, svc.name, static_cast<char*>(nullptr));
    sim::event(svc.name, std::string("cannot execute ") + svc.path + ": " + std::strerror(errno));
    _exit(127);
}

// The monitor stays the service's parent so that its end, by exit or by a
// signal (a crashing application), is recorded.
[[noreturn]] void monitor(const Service& svc, int readyFd) {
    setsid();
    std::string title = "monitor:" + std::string(svc.name);
    prctl(PR_SET_NAME, title.c_str(), 0, 0, 0);
    if (chdir("/") != 0) _exit(1);
    // A caller with its standard descriptors closed (a detached worker)
    // hands the pipe over at 0 to 2, where /dev/null is about to go.
    if (readyFd <= 2) {
        int moved = fcntl(readyFd, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) _exit(1);
        close(readyFd);
        readyFd = moved;
    }
    for (int fd = 0; fd < 1024; ++fd) {
        if (fd != readyFd) close(fd);
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    pid_t child = fork();
    if (child < 0) {
        sim::event(svc.name, "fork failed");
        _exit(1);
    }
    if (child == 0) {
        close(readyFd);
        execService(svc);
    }
    std::string line = std::to_string(child) + " " + std::to_string(startTime(child)) + " " +
                       std::to_string(getpid()) + "\n";
    sim::writeFileAtomic(pidFile(svc.name), line);
    sim::event(svc.name, "started pid " + std::to_string(child));
    ssize_t n = write(readyFd, "x", 1);
    (void)n;
    close(readyFd);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        sim::event(svc.name, "exited by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                 strsignal(WTERMSIG(status)) + ")");
    else
        sim::event(svc.name, "exited with status " + std::to_string(WEXITSTATUS(status)));
    _exit(0);
}

int startService(const Service& svc) {
    int lock = lockService(svc.name);
    Running r;
    if (running(svc.name, r)) {
        sim::event(svc.name, "already running pid " + std::to_string(r.pid));
        close(lock);
        return 0;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        close(lock);
        return 1;
    }
    pid_t mon = fork();
    if (mon < 0) {
        close(ready[0]);
        close(ready[1]);
        close(lock);
        return 1;
    }
    if (mon == 0) {
        close(ready[0]);
        monitor(svc, ready[1]);
    }
    close(ready[1]);
    char byte;
    ssize_t n;
    do {
        n = read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    close(ready[0]);
    close(lock);
    return n == 1 ? 0 : 1;
}

int stopService(const Service& svc) {
    int lock = lockService(svc.name);
    Running r;
    if (!running(svc.name, r)) {
        sim::event(svc.name, "not running");
        unlink(pidFile(svc.name).c_str());
        close(lock);
        return 0;
    }
    if (sim::faultRefusesStop(svc.name)) {
        sim::event(svc.name, "refuses to stop (scripted fault), pid " + std::to_string(r.pid) + " keeps running");
        close(lock);
        return 0;
    }
    long long monStart = startTime(r.monitor);
    kill(r.pid, SIGTERM);
    if (!waitGone(r.pid, r.start, STOP_GRACE_MS)) {
        sim::event(svc.name, "still running after the grace time, SIGKILL");
        kill(r.pid, SIGKILL);
        waitGone(r.pid, r.start, -1);
    }
    if (monStart >= 0) waitGone(r.monitor, monStart, MONITOR_WAIT_MS);
    unlink(pidFile(svc.name).c_str());
    close(lock);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string caller = sim::exeName(getppid());
    if (argc != 3) {
        std::fprintf(stderr, "usage: setprop NAME VALUE\n");
        sim::event(caller, "setprop with " + std::to_string(argc - 1) + " arguments -> 1");
        return 1;
    }
    std::string name = argv[1];
    std::string value = argv[2];
    std::string call = "setprop " + sim::shown(name) + " " + sim::shown(value);

    if (int hang = sim::faultSetpropHangs(name, value); hang > 0) {
        sim::event(caller, call + " hangs " + std::to_string(hang) + " s (scripted fault)");
        sim::sleepSeconds(hang);
    }
    if (sim::faultSetpropFails(name, value)) {
        sim::event(caller, call + " -> 1 (scripted fault)");
        return 1;
    }

    int rc = 0;
    std::string note;
    if (name == "ctl.start" || name == "ctl.stop") {
        const Service* svc = findService(value);
        if (svc == nullptr) {
            // The property was set; the platform merely knows no such service.
            note = " (no such service)";
        } else {
            rc = name == "ctl.start" ? startService(*svc) : stopService(*svc);
        }
    } else if (!sim::validName(name)) {
        rc = 1;
        note = " (invalid name)";
    } else if (value.size() > sim::PROP_VALUE_LIMIT) {
        rc = 1;
        note = " (value too long)";
    } else if (!sim::putProp(name, value)) {
        rc = 1;
        note = " (store failed)";
    }
    sim::event(caller, call + " -> " + std::to_string(rc) + note);
    return rc;
}
