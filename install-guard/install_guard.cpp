// tavrine-install-guard: watches over one install of a new resource image.
//
// Run by the outside installer as "tavrine-install-guard --watch" once it has
// put a run id and a squashfs image under "/tmp/tavrine-permanent-install/".
// The command admits the run, detaches a worker and exits; the worker writes
// "guard-ready", follows the platform upgrader while it writes the image to
// flash, reads the flash back against the image, and only when they match
// remounts "/res", restores "/tmp/EasyUI.cfg" and starts the host again. It
// leaves "guard-ready" and "/data/tavrine-app/install-result.json" on disk,
// then stays alive for good asserting the keep-alive and holding the install
// lock, so no second install can start before the device restarts.
//
// Invariant: "/res" is never remounted from flash, and the host never started
// on it, unless every byte of the image was read back from the partition.
//
// While the install runs the worker also holds the switch lock, so a boot
// launch or a slot switch cannot stop, start or reconfigure the host under it.
// The guard must be installed outside "/res": its own pages would keep "/res"
// busy and would come from the flash the upgrader is rewriting.
#include "device.h"
#include "readback.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* WATCH_ARGUMENT = "--watch";

constexpr int EXIT_DETACHED = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_RUN_REFUSED = 3;
constexpr int EXIT_IMAGE_REFUSED = 4;
constexpr int EXIT_PLATFORM_REFUSED = 5;
constexpr int EXIT_FORK_FAILED = 6;
constexpr int EXIT_NOT_ANNOUNCED = 7;

constexpr const char* UPGRADE_STATE = "sys.zkupgrade.state";
constexpr const char* UPGRADER_IDLE = "-1";
constexpr const char* KEEP_ALIVE = "sys.zkapp.state";
constexpr const char* KEEP_ALIVE_VALUE = "running";

// Keep-alive; the platform's answer changes nothing for us.
void keepAlive() { device::prop(KEEP_ALIVE, KEEP_ALIVE_VALUE); }

// ---- Admission ----------------------------------------------------------

constexpr const char* RUN_ID_PATH = "/tmp/tavrine-permanent-install/run-id";
constexpr std::size_t RUN_ID_LENGTH = 32;
constexpr const char* RUN_ID_DIGITS = "0123456789abcdef";

bool validRunId(const std::string& runId) {
    if (runId.size() != RUN_ID_LENGTH) return false;
    for (const char c : runId) {
        if (c == '\0' || std::strchr(RUN_ID_DIGITS, c) == nullptr) return false;
    }
    return true;
}

constexpr const char* HOST_CONFIG_PATH = "/tmp/EasyUI.cfg";
constexpr const char* SLOTS[] = {"a", "b"};
constexpr const char* SLOT_LIBRARY = "/lib/libzkgui.so";
constexpr const char* SLOT_RESOURCES = "/ui/";
constexpr const char* LIBRARY_KEY = "startupLibPath";
constexpr const char* RESOURCES_KEY = "resPath";

// True when the running configuration names a slot application. The library
// file is not tested: the install does not depend on it, only on the host
// being back on a slot once "/res" has been swapped.
bool slotConfiguration(const std::string& text) {
    try {
        const nlohmann::json document = device::parseJson(text);
        bool matched = false;
        for (const char* slot : SLOTS) {
            const std::string base = std::string(device::STORE_ROOT) + slot;
            if (document.value(LIBRARY_KEY, std::string()) != base + SLOT_LIBRARY) continue;
            if (document.value(RESOURCES_KEY, std::string()) == base + SLOT_RESOURCES) matched = true;
        }
        return matched;
    } catch (...) {
        return false;
    }
}

constexpr const char* IMAGE_PATH = "/tmp/tavrine-permanent-install/res.squashfs";
constexpr off_t SMALLEST_IMAGE = 96;
constexpr off_t LARGEST_IMAGE = 8388608;
constexpr unsigned char SQUASHFS_MAGIC[] = {0x68, 0x73, 0x71, 0x73};

// Reads exactly length bytes, going on after short reads; a read that
// returns 0 or an error fails at once.
bool readExactly(int fd, unsigned char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, buffer + done, length - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The image descriptor, close-on-exec and positioned after the magic, with
// its size; -1 when the image is missing or not acceptable.
int openImage(std::uint32_t& size) {
    const int fd = device::openRegular(IMAGE_PATH);
    if (fd < 0) return -1;
    struct stat st;
    unsigned char magic[sizeof SQUASHFS_MAGIC];
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < SMALLEST_IMAGE || st.st_size > LARGEST_IMAGE ||
        !readExactly(fd, magic, sizeof magic) ||
        std::memcmp(magic, SQUASHFS_MAGIC, sizeof magic) != 0) {
        close(fd);
        return -1;
    }
    size = static_cast<std::uint32_t>(st.st_size);
    return fd;
}

constexpr const char* WORKSPACE_VARIABLE = "ANDROID_PROPERTY_WORKSPACE";
constexpr long LOWEST_WORKSPACE = 3;
constexpr long HIGHEST_WORKSPACE = 1023;

// The open property workspace descriptor named by the environment, or -1.
// The image was opened before this test, so a variable naming a descriptor
// that was closed at start could name the image's number instead; that
// descriptor is ours, not the workspace, and is refused.
int workspaceDescriptor(int image) {
    // The only environment variable any of our programs reads.
    const char* text = std::getenv(WORKSPACE_VARIABLE);  // ANDROID_PROPERTY_WORKSPACE
    if (text == nullptr) return -1;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != ',') return -1;
    if (number < LOWEST_WORKSPACE || number > HIGHEST_WORKSPACE) return -1;
    const int fd = static_cast<int>(number);
    if (fd == image || fcntl(fd, F_GETFD) == -1) return -1;
    return fd;
}

constexpr const char* INSTALL_LOCK_PATH = "/tmp/tavrine-install.lock";
constexpr const char* SWITCH_LOCK_PATH = "/tmp/tavrine-ota-switch.lock";

// The switch lock, close-on-exec: it is released right after the record,
// and a service started through the property service must not carry it on.
int takeSwitchLock() {
    const int fd = device::lock(SWITCH_LOCK_PATH);
    if (fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- Worker start ---------------------------------------------------------

constexpr const char* DEV_NULL = "/dev/null";

// Detached worker with "/dev/null" as its standard streams, so that any
// command it runs finds 0, 1 and 2 open.
void startWorker(const int* keep, int count) {
    device::detach(keep, count);
    const int null = open(DEV_NULL, O_RDWR);
    if (null < 0) return;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (null != fd) dup2(null, fd);
    }
    if (null > STDERR_FILENO) close(null);
}

constexpr const char* READY_PATH = "/tmp/tavrine-permanent-install/guard-ready";

// ---- Watch and readback -----------------------------------------------------

constexpr const char* PHASE_UPGRADE_TIMEOUT = "upgrade_timeout";
constexpr const char* PHASE_UPGRADE_FAILED = "upgrade_failed";
constexpr const char* PHASE_READBACK_MISMATCH = "readback_mismatch";
constexpr const char* PHASE_WRITE_VERIFIED = "write_verified";
constexpr const char* PHASE_SERVICE_STOP_FAILED = "service_stop_failed";
constexpr const char* PHASE_RESOURCE_UNMOUNT_FAILED = "resource_unmount_failed";
constexpr const char* PHASE_RESOURCE_MOUNT_FAILED = "resource_mount_failed";
constexpr const char* PHASE_APP_CONFIG_RESTORE_FAILED = "app_config_restore_failed";
constexpr const char* PHASE_APP_START_FAILED = "app_start_failed";

constexpr const char* PARTITION_PATH = "/dev/block/mtdblock3";

// "/res" is still mounted from the partition, so the kernel may hold pages of
// it from before the upgrader rewrote it, or pages just written that never
// reached the flash. Write back and drop them so the readback sees the flash.
// Either call may be refused (no privilege, not a block device); the readback
// goes on regardless.
void dropCachedPages(int partition) {
    posix_fadvise(partition, 0, 0, POSIX_FADV_DONTNEED);
    ioctl(partition, BLKFLSBUF, 0);
}

// True when the partition holds the image; rewinds the image first.
bool verify(int image, std::uint32_t size) {
    const int partition = open(PARTITION_PATH, O_RDONLY | O_CLOEXEC);
    if (partition < 0) return false;
    if (lseek(image, 0, SEEK_SET) != 0) {
        close(partition);
        return false;
    }
    dropCachedPages(partition);
    const bool same = tavrine::verifyMx714ResourceReadback(
        size,
        [partition](unsigned char* block, std::uint32_t length) {
            return readExactly(partition, block, length);
        },
        [image](unsigned char* block, std::uint32_t length) {
            return readExactly(image, block, length);
        });
    close(partition);
    return same;
}

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1000000000;
// 300 s; does not fit a 32-bit long, hence the 64-bit arithmetic throughout.
constexpr std::int64_t WATCH_LIMIT_NS = 300 * NANOSECONDS_PER_SECOND;
constexpr unsigned POLL_PAUSE_MS = 500;
constexpr const char* UPGRADE_COMPLETE = "0";
constexpr const char* UPGRADER_BUSY = "255";

std::int64_t monotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

// Follows the upgrader until it completes, fails or runs out of time; on
// completion reads the flash back. Returns the phase the watch ended in.
const char* watch(int image, std::uint32_t size) {
    const std::int64_t deadline = monotonicNow() + WATCH_LIMIT_NS;
    for (;;) {
        if (monotonicNow() >= deadline) return PHASE_UPGRADE_TIMEOUT;
        keepAlive();
        const std::string state = device::property(UPGRADE_STATE);
        if (state == UPGRADE_COMPLETE) {
            return verify(image, size) ? PHASE_WRITE_VERIFIED : PHASE_READBACK_MISMATCH;
        }
        if (!state.empty() && state != UPGRADER_IDLE && state != UPGRADER_BUSY) {
            return PHASE_UPGRADE_FAILED;
        }
        device::pause(POLL_PAUSE_MS);
    }
}

// ---- After the watch --------------------------------------------------------

constexpr const char* SERVICE_STOP = "ctl.stop";
constexpr const char* SERVICE_START = "ctl.start";
constexpr const char* HOST_SERVICE = "zkswe";
constexpr const char* BLUETOOTH_SERVICE = "hciattach";
constexpr const char* UPGRADE_FLAG = "sys.zkupgrade.flag";
constexpr const char* UPGRADE_FLAG_CLEARED = "0";
constexpr const char* UPGRADE_DIR = "sys.zkupgrade.dir";
constexpr const char* UPGRADE_DIR_CLEARED = "";
constexpr unsigned SERVICE_STOP_PAUSE_MS = 1000;

constexpr const char* RESOURCE_MOUNT = "/res";
constexpr const char* RESOURCE_FS_TYPE = "squashfs";
constexpr int UNMOUNT_ATTEMPTS = 10;
constexpr unsigned UNMOUNT_PAUSE_MS = 500;

// Unmounts "/res", retrying only while it is busy.
bool unmountResources() {
    for (int attempt = 0; attempt < UNMOUNT_ATTEMPTS; ++attempt) {
        if (umount(RESOURCE_MOUNT) == 0) return true;
        if (errno != EBUSY) return false;
        keepAlive();
        device::pause(UNMOUNT_PAUSE_MS);
    }
    return false;
}

// Swaps "/res" to the new flash contents and brings the host back on the
// configuration it ran before the install. Returns the phase; each flag is
// set once its step has succeeded.
const char* remount(const std::string& savedConfig, bool& remounted, bool& restored,
                    bool& restartRequested) {
    if (!unmountResources()) return PHASE_RESOURCE_UNMOUNT_FAILED;
    if (mount(PARTITION_PATH, RESOURCE_MOUNT, RESOURCE_FS_TYPE, MS_RDONLY, nullptr) != 0) {
        return PHASE_RESOURCE_MOUNT_FAILED;
    }
    remounted = true;
    restored = device::save(HOST_CONFIG_PATH, savedConfig);
    if (!restored) return PHASE_APP_CONFIG_RESTORE_FAILED;
    restartRequested = device::prop(SERVICE_START, HOST_SERVICE);
    return restartRequested ? PHASE_WRITE_VERIFIED : PHASE_APP_START_FAILED;
}

// Once the upgrader has finished, the host and Bluetooth are stopped and the
// upgrader's request is cleared whatever the readback gave. True when the
// stops and the reset all succeeded.
bool stopAndReset() {
    const bool stopped =
        device::prop(SERVICE_STOP, HOST_SERVICE) && device::prop(SERVICE_STOP, BLUETOOTH_SERVICE);
    const bool reset = device::prop(UPGRADE_FLAG, UPGRADE_FLAG_CLEARED) &&
                       device::prop(UPGRADE_DIR, UPGRADE_DIR_CLEARED);
    device::pause(SERVICE_STOP_PAUSE_MS);
    return stopped && reset;
}

// ---- Record -----------------------------------------------------------------

constexpr const char* RECORD_PATH = "/data/tavrine-app/install-result.json";
constexpr int RECORD_SCHEMA = 1;

// One compact JSON line; the library orders the members by key.
std::string recordText(const std::string& runId, std::uint32_t size, const char* phase,
                       bool writeVerified, bool remounted, bool restored, bool restartRequested) {
    try {
        const nlohmann::json record = {
            {"schema", RECORD_SCHEMA},
            {"run_id", runId},
            {"phase", phase},
            {"verified_size", size},
            {"write_verified", writeVerified},
            {"resources_remounted", remounted},
            {"resume_restored", restored},
            {"app_restart_requested", restartRequested},
        };
        return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) + "\n";
    } catch (...) {
        return {};
    }
}

constexpr unsigned KEEP_ALIVE_PERIOD_MS = 1000;

[[noreturn]] void keepAliveForever() {
    for (;;) {
        keepAlive();
        device::pause(KEEP_ALIVE_PERIOD_MS);
    }
}

}  // namespace

int main(int argc, char** argv) {
    device::saneStart();

    if (argc != 2 || std::strcmp(argv[1], WATCH_ARGUMENT) != 0) return EXIT_USAGE;

    const std::string runId = device::load(RUN_ID_PATH);
    if (!validRunId(runId)) return EXIT_RUN_REFUSED;

    const std::string savedConfig = device::load(HOST_CONFIG_PATH);
    if (!slotConfiguration(savedConfig)) return EXIT_RUN_REFUSED;

    std::uint32_t imageSize = 0;
    const int image = openImage(imageSize);
    if (image < 0) return EXIT_IMAGE_REFUSED;

    const int workspace = workspaceDescriptor(image);
    if (workspace < 0 || device::property(UPGRADE_STATE) != UPGRADER_IDLE) {
        close(image);
        return EXIT_PLATFORM_REFUSED;
    }

    const int installLock = device::lock(INSTALL_LOCK_PATH);
    if (installLock < 0) {
        close(image);
        return EXIT_PLATFORM_REFUSED;
    }
    const int switchLock = takeSwitchLock();
    if (switchLock < 0) {
        close(installLock);
        close(image);
        return EXIT_PLATFORM_REFUSED;
    }

    const pid_t worker = fork();
    if (worker != 0) {
        // The locks live on through the worker's copies.
        close(switchLock);
        close(installLock);
        close(image);
        return worker > 0 ? EXIT_DETACHED : EXIT_FORK_FAILED;
    }

    const int kept[] = {installLock, switchLock, image, workspace};
    startWorker(kept, sizeof kept / sizeof kept[0]);

    if (device::property(UPGRADE_STATE) != UPGRADER_IDLE || !device::save(READY_PATH, runId)) {
        close(switchLock);
        close(installLock);
        close(image);
        return EXIT_NOT_ANNOUNCED;
    }

    const char* phase = watch(image, imageSize);
    close(image);

    // Only a good readback goes on to the remount; a bad one leaves the host
    // stopped. A timed-out or failed upgrade touches nothing.
    bool writeVerified = false;
    bool remounted = false;
    bool restored = false;
    bool restartRequested = false;
    if (phase == PHASE_WRITE_VERIFIED || phase == PHASE_READBACK_MISMATCH) {
        const bool settled = stopAndReset();
        if (phase == PHASE_WRITE_VERIFIED) {
            writeVerified = true;
            phase = settled ? remount(savedConfig, remounted, restored, restartRequested)
                            : PHASE_SERVICE_STOP_FAILED;
        }
    }

    const std::string record =
        recordText(runId, imageSize, phase, writeVerified, remounted, restored, restartRequested);
    if (!record.empty()) device::save(RECORD_PATH, record);

    // Boot launches and slot switches may run again; the install lock stays.
    close(switchLock);
    keepAliveForever();
}
