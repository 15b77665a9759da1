// First process of a simulated clock (PID 1 of its namespace): mounts the
// resource partition on "/res" (squashfs mode), starts the file watcher and
// "hciattach", and with --boot plays the platform's own power-up: the start
// configuration naming libtavrine-boot in "/tmp/EasyUI.cfg", then
// "ctl.start zkswe". Afterwards it only reaps orphans. Its death is the
// power-off: the kernel then ends every process of the clock.
#include "simcore.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* ACTOR = "platform";
constexpr const char* FLASH = "/dev/block/mtdblock3";
constexpr const char* RES = "/res";
constexpr const char* START_CONFIG = "/tmp/EasyUI.cfg";
constexpr const char* PLATFORM_CONFIG =
    "{\"startupLibPath\":\"/res/lib/libtavrine-boot.so\",\"resPath\":\"/res/ui/\"}";

void onSignal(int) {}

int runAndWait(const char* path, const char* arg0, const char* a1, const char* a2) {
    pid_t child = fork();
    if (child == 0) {
        execl(path, arg0, a1, a2, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child < 0) return -1;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts the watcher and waits until its watches are in place, so no
// change made by the boot chain goes unrecorded.
bool startWatcher() {
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        if (ready[1] != 3) {
            dup2(ready[1], 3);
            close(ready[1]);
        }
        execl("/bin/simwatch", "simwatch", "3", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    ssize_t n;
    do {
        n = read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    close(ready[0]);
    return child > 0 && n == 1;
}

// Properties a test set before power-up, one file each.
void loadInitialProperties() {
    std::string dir = std::string(sim::CONTROL_DIR) + "/props-init";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string value;
        if (sim::validName(e->d_name) && sim::readFile(dir + "/" + e->d_name, value, 4096))
            sim::putProp(e->d_name, value);
    }
    closedir(d);
}

// ARM mode: the launcher hands over a descriptor of the user namespace that
// runs ARM programs. Bound at a fixed path, services can join it. Its
// processes lack privilege over this network namespace, which belongs to
// the machine's own user namespace: let every port be bound, as the
// device's root may.
bool setUpArm(int userns) {
    std::string source = "/proc/self/fd/" + std::to_string(userns);
    int mark = open(sim::ARM_USERNS, O_WRONLY | O_CREAT | O_CLOEXEC, 0444);
    if (mark < 0) return false;
    close(mark);
    bool ok = mount(source.c_str(), sim::ARM_USERNS, nullptr, MS_BIND, nullptr) == 0;
    close(userns);
    int sysctl = open("/proc/sys/net/ipv4/ip_unprivileged_port_start", O_WRONLY | O_CLOEXEC);
    if (sysctl < 0) return false;
    ok = write(sysctl, "0", 1) == 1 && ok;
    close(sysctl);
    return ok;
}

// Reaps every ended child with one event each, so that a detached worker's
// exit status is seen: "reaped NAME pid N: exit status S" or "...: signal S"
// (NAME is the kernel's 15-byte name, read before the zombie goes).
void reapOrphans() {
    for (;;) {
        siginfo_t info {};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
        const pid_t pid = info.si_pid;
        std::string name;
        sim::readFile("/proc/" + std::to_string(pid) + "/comm", name, 64);
        while (!name.empty() && name.back() == '\n') name.pop_back();
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return;
        const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                  : "signal " + std::to_string(WTERMSIG(status));
        sim::event(ACTOR, "reaped " + name + " pid " + std::to_string(pid) + ": " + how);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool squashfs = false, boot = false;
    int armUserns = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--squashfs") == 0) squashfs = true;
        if (std::strcmp(argv[i], "--boot") == 0) boot = true;
        if (std::strcmp(argv[i], "--arm-userns") == 0 && i + 1 < argc) armUserns = std::atoi(argv[++i]);
    }
    // PID 1 has no default signal actions: handle the ones meaning "power off".
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGCHLD, &sa, nullptr);
    signal(SIGTERM, SIG_DFL);
    // A crashing sample application must not leave core files around.
    struct rlimit noCore {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    const char* fake = std::getenv("FAKETIME");
    sim::event(ACTOR, std::string("power-up, FAKETIME=") + (fake ? fake : "(none)"));
    if (armUserns >= 0) {
        if (!setUpArm(armUserns)) {
            sim::event(ACTOR, std::string("ARM set-up failed: ") + std::strerror(errno));
            return 1;
        }
        sim::event(ACTOR, std::string("ARM programs run through qemu-arm in the user namespace at ") + sim::ARM_USERNS);
    }
    if (squashfs) {
        if (mount(FLASH, RES, "squashfs", MS_RDONLY, nullptr) != 0) {
            sim::event(ACTOR, std::string("mount of /res failed: ") + std::strerror(errno));
            return 1;
        }
        sim::event(ACTOR, "mounted /dev/block/mtdblock3 on /res (squashfs, read-only)");
    }
    loadInitialProperties();
    if (!startWatcher()) {
        sim::event(ACTOR, "file watcher failed to start");
        return 1;
    }
    // Bluetooth attach runs on every power-up; the install guard stops it.
    runAndWait("/bin/setprop", "setprop", "ctl.start", "hciattach");
    sim::event(ACTOR, "ready");
    if (boot) {
        if (!sim::writeFileAtomic(START_CONFIG, PLATFORM_CONFIG)) sim::event(ACTOR, "cannot write /tmp/EasyUI.cfg");
        runAndWait("/bin/setprop", "setprop", "ctl.start", "zkswe");
    }

    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    for (;;) {
        reapOrphans();
        sigsuspend(&old);
    }
}
