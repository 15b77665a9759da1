// tavrine-boot-control: brings an application onto the clock's screen.
//
// Run with "--start" by the boot hook at power-up (the hook waits for us, so
// the command process only chooses, validates, locks and detaches), or with
// "--stock" by whoever chooses the stock application explicitly. The detached
// worker restarts the EasyUI host with the chosen configuration and, for a
// slot application, waits for its ready text, falling back to the previous
// configuration once.
//
// On disk it leaves: "/tmp/EasyUI.cfg" (via the staging file
// "/tmp/tavrine-boot.cfg"), "current.cfg" after a confirmed slot launch, the
// stock-choice marker after "--stock", and the failure notice "boot-error"
// while nothing has come up.
//
// Invariant: "current.cfg" is only ever rewritten with a configuration whose
// application has just proved itself by writing its exact ready text.
//
// While the worker waits for a late ready text it holds the install guard's
// lock: its own executable keeps "/res" busy, so a guarded install admitted
// then could never remount "/res" and would leave the host stopped.
#include "device.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr const char* START_OPTION = "--start";
constexpr const char* STOCK_OPTION = "--stock";

constexpr const char* STOCK_CFG = "/res/etc/tavrine-stock.cfg";
constexpr const char* STOCK_MARKER = "/data/tavrine-app/manufacturer-selected";
constexpr const char* CURRENT_CFG = "/data/tavrine-app/current.cfg";
constexpr const char* PREVIOUS_CFG = "/data/tavrine-app/previous.cfg";
constexpr const char* BOOT_ERROR = "/data/tavrine-app/boot-error";
constexpr const char* SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock";
constexpr const char* INSTALL_LOCK = "/tmp/tavrine-install.lock";
constexpr const char* STAGING_CFG = "/tmp/tavrine-boot.cfg";
constexpr const char* HOST_CFG = "/tmp/EasyUI.cfg";
constexpr const char* READY_MARKER = "/tmp/tavrine-ota-ready";

constexpr const char* STOCK_MARKER_TEXT = "Selected explicitly in Tavrine WebUI\n";
constexpr const char* BOOT_ERROR_TEXT =
    "Tavrine startup failed. Keep the clock powered and contact support.\n";

constexpr const char* KEEP_ALIVE_NAME = "sys.zkapp.state";
constexpr const char* KEEP_ALIVE_VALUE = "running";
constexpr const char* HOST_START = "ctl.start";
constexpr const char* HOST_STOP = "ctl.stop";
constexpr const char* HOST_SERVICE = "zkswe";

constexpr unsigned WORKER_PAUSE_MS = 1500;
constexpr unsigned HOST_STOP_PAUSE_MS = 700;
constexpr unsigned POLL_PAUSE_MS = 500;
constexpr unsigned RECOVERY_PAUSE_MS = 1000;
constexpr int PROBE_ATTEMPTS = 180;
constexpr int READY_POLLS = 90;
constexpr int KEEP_ALIVE_EVERY = 10;
constexpr uint16_t STOCK_PORT = 80;

// Exit statuses of the command process (0, 2 to 6) and of the worker (0, 8).
constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_CONFIGURATION = 3;
constexpr int EXIT_LOCKED = 4;
constexpr int EXIT_MARKER = 5;
constexpr int EXIT_FORK = 6;
constexpr int EXIT_START_FAILED = 8;

void keepAlive() { device::prop(KEEP_ALIVE_NAME, KEEP_ALIVE_VALUE); }

// A removal the store never flushed can come back after a power loss, and a
// stale notice would outlive any stock launch, which leaves it in place.
void removeNotice() {
    if (unlink(BOOT_ERROR) == 0) device::syncRoot();
}

// One bind attempt on port 80. 1: free, 0: in use, -1: the probe cannot
// work at all (no socket, or any other bind error).
int portFree() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(STOCK_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const int bound = bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(fd);
    if (bound == 0) return 1;
    return error == EADDRINUSE ? 0 : -1;
}

// The stock application listens on port 80 and lets go of it only a moment
// after the host stopped; starting it again before that would fail.
bool waitPortFree() {
    for (int attempt = 0; attempt < PROBE_ATTEMPTS;) {
        const int state = portFree();
        if (state != 0) return state == 1;
        if (attempt % KEEP_ALIVE_EVERY == 0) keepAlive();
        ++attempt;
        device::pause(POLL_PAUSE_MS);
    }
    return false;
}

// Restarts the host with text. A failure after the stop leaves the host
// stopped and "/tmp/EasyUI.cfg" as it was; nothing here starts it again.
bool start(const std::string& text, bool stock) {
    if (!device::write(STAGING_CFG, text)) return false;
    device::prop(HOST_STOP, HOST_SERVICE);
    device::pause(HOST_STOP_PAUSE_MS);
    if (stock && !waitPortFree()) return false;
    if (rename(STAGING_CFG, HOST_CFG) != 0) return false;
    // A marker left from before this start must not confirm it.
    unlink(READY_MARKER);
    device::prop(HOST_START, HOST_SERVICE);
    return true;
}

bool waitReady(const std::string& text) {
    const std::string expected = device::readyText(text);
    if (expected.empty()) return false;
    for (int poll = 0; poll < READY_POLLS; ++poll) {
        if (poll % KEEP_ALIVE_EVERY == 0) keepAlive();
        device::pause(POLL_PAUSE_MS);
        if (device::read(READY_MARKER) == expected) return true;
    }
    return false;
}

// Watches, without touching the host, until whatever "current.cfg" names at
// the moment proves ready: late, or after a later slot switch or launch.
void recoveryWait() {
    for (;;) {
        keepAlive();
        device::pause(RECOVERY_PAUSE_MS);
        const std::string expected = device::readyText(device::read(CURRENT_CFG));
        if (!expected.empty() && device::read(READY_MARKER) == expected) return;
    }
}

// Everything after the detach. The lock is released before any endless wait
// so that a slot switch or a later launch can still bring something up.
int worker(std::string text, bool stock, int lockFd) {
    device::pause(WORKER_PAUSE_MS);
    keepAlive();
    const bool firstStarted = start(text, stock);
    if (stock) {
        close(lockFd);
        return firstStarted ? EXIT_OK : EXIT_START_FAILED;
    }

    bool confirmed = firstStarted && waitReady(text);
    if (!confirmed) {
        const std::string previous = device::read(PREVIOUS_CFG);
        // A configuration is never launched twice in one run.
        if (previous != text && device::valid(previous, false) && start(previous, false)) {
            text = previous;
            confirmed = waitReady(text);
        }
    }

    if (confirmed) {
        device::write(CURRENT_CFG, text);
        removeNotice();
        close(lockFd);
        return firstStarted ? EXIT_OK : EXIT_START_FAILED;
    }

    device::write(BOOT_ERROR, BOOT_ERROR_TEXT);
    close(lockFd);
    // Keeps a guarded install out for the whole wait. A guard that already
    // holds the lock is left to finish its install; the wait goes on.
    const int installLock = device::lock(INSTALL_LOCK);
    recoveryWait();
    removeNotice();
    if (installLock >= 0) close(installLock);
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    device::saneStart();

    if (argc != 2) return EXIT_USAGE;
    const std::string option = argv[1];
    if (option != START_OPTION && option != STOCK_OPTION) return EXIT_USAGE;
    const bool explicitStock = option == STOCK_OPTION;

    // Once stock was chosen explicitly every power-up keeps to it.
    const bool stock = explicitStock || device::regular(STOCK_MARKER);
    std::string text = device::read(stock ? STOCK_CFG : CURRENT_CFG);
    if (!stock && !device::valid(text, false)) text = device::read(PREVIOUS_CFG);
    if (!device::valid(text, stock)) return EXIT_NO_CONFIGURATION;

    const int lockFd = device::lock(SWITCH_LOCK);
    if (lockFd < 0) return EXIT_LOCKED;

    if (explicitStock && !device::write(STOCK_MARKER, STOCK_MARKER_TEXT)) {
        close(lockFd);
        return EXIT_MARKER;
    }

    const pid_t pid = fork();
    if (pid < 0) {
        close(lockFd);
        return EXIT_FORK;
    }
    if (pid > 0) {
        // The worker's copy of the descriptor keeps the lock held.
        close(lockFd);
        return EXIT_OK;
    }

    device::detach(&lockFd, 1);
    return worker(std::move(text), stock, lockFd);
}
