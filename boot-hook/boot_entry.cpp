// libtavrine-boot: the boot hooks the EasyUI host calls after loading us at
// power-up. The init hook asserts the keep-alive and runs the boot control's
// launch command, the first link of the boot chain; the others do nothing.
//
// We run inside the host's own process: loading the library must have no
// effect (no constructors, no state of our own), and between fork and exec a
// child calls nothing, so no code of the host ever runs twice. The library
// leaves nothing on disk itself; the boot control does the work.
#include <cerrno>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#define TAVRINE_HOOK extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* SETPROP = "/bin/setprop";
constexpr const char* KEEP_ALIVE_NAME = "sys.zkapp.state";
constexpr const char* KEEP_ALIVE_VALUE = "running";
constexpr const char* BOOT_CONTROL = "/res/bin/tavrine-boot-control";
constexpr const char* BOOT_CONTROL_OPTION = "--start";
constexpr int EXEC_FAILED = 127;

// The host may have handlers installed without SA_RESTART; a signal must not
// end our wait early and leave the command behind as a zombie of the host.
pid_t waitFor(pid_t pid) {
    pid_t waited;
    do {
        waited = waitpid(pid, nullptr, 0);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

}  // namespace

// The boot control's process id once its command has ended, -1 when that
// wait failed, or the negative fork result when it could not be run at all.
TAVRINE_HOOK int onEasyUIInit(void) {
    const pid_t setprop = fork();
    if (setprop == 0) {
        execl(SETPROP, SETPROP, KEEP_ALIVE_NAME, KEEP_ALIVE_VALUE, static_cast<char*>(nullptr));
        _exit(EXEC_FAILED);
    }
    // Its outcome does not matter: the launch goes on either way.
    if (setprop > 0) waitFor(setprop);

    const pid_t control = fork();
    if (control == 0) {
        execl(BOOT_CONTROL, BOOT_CONTROL, BOOT_CONTROL_OPTION, static_cast<char*>(nullptr));
        _exit(EXEC_FAILED);
    }
    if (control < 0) return control;
    // Returns once the command has detached its worker or refused.
    return waitFor(control);
}

TAVRINE_HOOK void onEasyUIDeinit(void) {}

TAVRINE_HOOK int onStartupApp(void) { return 0; }
