// tavrine-ota-switch <slot> <version>: moves the EasyUI host to the
// application newly delivered into slot "a" or "b", as one transaction.
//
// Run from outside the system by whoever delivered the slot. The command
// answers at once (0, or 2 to 4 when refused) and a detached worker, holding
// the switch lock that the boot control also takes, does the rest: it
// snapshots the running "/tmp/EasyUI.cfg" as "previous.cfg", restarts the
// host on the slot's configuration and watches the ready marker for the text
// built from its own arguments. On disk it leaves "previous.cfg",
// "current.cfg" and one state word in "result".
//
// Invariant: "current.cfg" becomes the slot's configuration only after the
// slot's application has written the ready text of this slot and version;
// otherwise the host is put back on the snapshot and the snapshot is current.
// Until the switch ends, "current.cfg" is not touched, so an interrupted
// switch leaves the next power-up where it was before.
//
// The program allocates no memory: every text lives in a fixed buffer.
#include "device.h"

#include <cstdio>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr const char* SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock";
constexpr const char* HOST_CFG = "/tmp/EasyUI.cfg";
constexpr const char* READY_MARKER = "/tmp/tavrine-ota-ready";
constexpr const char* PREVIOUS_CFG = "/data/tavrine-app/previous.cfg";
constexpr const char* CURRENT_CFG = "/data/tavrine-app/current.cfg";

constexpr const char* HOST_SERVICE = "zkswe";
constexpr const char* CTL_STOP = "ctl.stop";
constexpr const char* CTL_START = "ctl.start";
constexpr const char* KEEP_ALIVE = "sys.zkapp.state";
constexpr const char* KEEP_ALIVE_VALUE = "running";

constexpr const char* PREPARE_FAILED = "prepare_failed";
constexpr const char* PENDING = "pending";
constexpr const char* CONFIRMED = "confirmed";
constexpr const char* ROLLED_BACK = "rolled_back";

// Command process.
constexpr int EXIT_STARTED = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LOCKED = 3;
constexpr int EXIT_NO_WORKER = 4;
// Worker.
constexpr int EXIT_CONFIRMED = 0;
constexpr int EXIT_PREPARE_FAILED = 5;
constexpr int EXIT_ROLLED_BACK = 6;

constexpr int ARGUMENT_COUNT = 2;
constexpr const char* VERSION_BYTES = "0123456789.";
constexpr size_t VERSION_MAX = 20;

constexpr const char* SLOT_CFG_FORMAT = "%s%s/EasyUI.cfg";
constexpr size_t SLOT_CFG_SIZE = 256;
constexpr const char* READY_FORMAT = "%s\n%s\n";
constexpr size_t READY_SIZE = 64;
constexpr size_t MARKER_SIZE = 64;
constexpr size_t MARKER_READ = MARKER_SIZE - 1;

constexpr unsigned SETTLE_MS = 1000;
constexpr unsigned STOP_MS = 700;
constexpr unsigned POLL_MS = 500;
constexpr int POLLS = 90;
constexpr int KEEP_ALIVE_EVERY = 10;

bool validSlot(const char* slot) {
    return slot[0] != '\0' && slot[1] == '\0' && (slot[0] == 'a' || slot[0] == 'b');
}

// Digits and dots only, so the ready text stays short and plain.
bool validVersion(const char* version) {
    const size_t length = strlen(version);
    return length <= VERSION_MAX && strspn(version, VERSION_BYTES) == length;
}

void keepAlive() { device::prop(KEEP_ALIVE, KEEP_ALIVE_VALUE); }

// Restarts the host on the configuration at path; true when that
// configuration is now in "/tmp/EasyUI.cfg". The host is started again even
// when the copy failed, then on the configuration it ran before.
bool start(const char* path) {
    device::prop(CTL_STOP, HOST_SERVICE);
    device::pause(STOP_MS);
    const bool ok = device::copy(path, HOST_CFG);
    // Whatever marker is read from now on was written by the app started here.
    unlink(READY_MARKER);
    device::prop(CTL_START, HOST_SERVICE);
    return ok;
}

// One look at the marker: a single read of at most 63 bytes, compared as
// zero-terminated text. Anything but a regular file (a link, a FIFO) is
// refused without blocking.
bool markerMatches(const char* expected) {
    char marker[MARKER_SIZE];
    memset(marker, 0, sizeof marker);
    const int fd = device::openRegular(READY_MARKER);
    // The worker runs with 0, 1 and 2 closed, so the marker may well be 0.
    if (fd < 0) return false;
    const ssize_t n = read(fd, marker, MARKER_READ);
    close(fd);
    return n > 0 && strcmp(marker, expected) == 0;
}

// 90 polls 0.5 s apart, the keep-alive before the pause of every tenth.
bool waitReady(const char* expected) {
    for (int poll = 0; poll < POLLS; ++poll) {
        if (poll % KEEP_ALIVE_EVERY == 0) keepAlive();
        device::pause(POLL_MS);
        if (markerMatches(expected)) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    device::saneStart();

    if (argc != ARGUMENT_COUNT + 1 || !validSlot(argv[1]) || !validVersion(argv[2])) {
        return EXIT_USAGE;
    }
    const char* slot = argv[1];
    const char* version = argv[2];

    const int lock = device::lock(SWITCH_LOCK);
    if (lock < 0) return EXIT_LOCKED;

    const pid_t worker = fork();
    if (worker < 0) {
        close(lock);
        return EXIT_NO_WORKER;
    }
    if (worker > 0) {
        // The worker's copy of the descriptor keeps the lock held.
        close(lock);
        return EXIT_STARTED;
    }

    device::detach(&lock, 1);
    device::pause(SETTLE_MS);

    // Cannot be cut: the slot is one letter and the version at most 20 bytes.
    char slotCfg[SLOT_CFG_SIZE];
    snprintf(slotCfg, sizeof slotCfg, SLOT_CFG_FORMAT, device::STORE_ROOT, slot);
    char expected[READY_SIZE];
    snprintf(expected, sizeof expected, READY_FORMAT, slot, version);

    // Without a snapshot there is nothing to roll back to: leave the host be.
    if (!device::copy(HOST_CFG, PREVIOUS_CFG)) {
        device::result(PREPARE_FAILED);
        close(lock);
        return EXIT_PREPARE_FAILED;
    }
    device::result(PENDING);

    if (start(slotCfg) && waitReady(expected)) {
        // Recorded as confirmed even if "current.cfg" could not be replaced:
        // the slot app did prove ready and is running.
        device::copy(HOST_CFG, CURRENT_CFG);
        device::result(CONFIRMED);
        close(lock);
        return EXIT_CONFIRMED;
    }

    start(PREVIOUS_CFG);
    device::copy(PREVIOUS_CFG, CURRENT_CFG);
    device::result(ROLLED_BACK);
    close(lock);
    return EXIT_ROLLED_BACK;
}
