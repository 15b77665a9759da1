"""Faults planted in the product, one at a time, by scripts/mutants.

Each is one small, plausible fault of a class real code has, written as an
exact replacement of text that occurs once in a product file. The tests
must fail on every one; a fault that cannot change anything observable is
marked `equivalent` with the reason, and is left out of the score.
"""

from collections import namedtuple

Fault = namedtuple("Fault", "name path old new why equivalent", defaults=(None,))

FILES = "device/files.cpp"
COMMANDS = "device/commands.cpp"
APP = "device/app.cpp"
BOOT = "boot-control/boot_control.cpp"
SWITCH = "ota-switch/ota_switch.cpp"
GUARD = "install-guard/install_guard.cpp"
READBACK = "install-guard/readback.h"
HOOK = "boot-hook/boot_entry.cpp"

FAULTS = [
    # ----- durable writes: a lost flush, rename or directory flush -----
    Fault("write-no-file-flush", FILES,
          "    bool synced = fsync(fd) == 0;\n", "    bool synced = true;\n",
          "a replaced store file is renamed in before its bytes reach the flash"),
    Fault("write-no-root-flush", FILES,
          "    ok = ok && rename(temp.c_str(), path) == 0;\n"
          "    // Flushed whatever the rename gave, so a completed rename is durable.\n"
          "    syncRoot();\n",
          "    ok = ok && rename(temp.c_str(), path) == 0;\n",
          "a store rename is never made durable"),
    Fault("save-no-directory-flush", FILES,
          "    flushDirectory(slash == std::string::npos ? path : target.substr(0, slash).c_str());\n",
          "",
          "the install record's rename is never made durable"),
    Fault("copy-no-file-flush", FILES,
          "    if (fsync(out) != 0) ok = false;\n", "",
          "a copied configuration is renamed in before its bytes reach the flash"),
    Fault("result-no-rename", FILES,
          "    rename(RESULT_NEXT, RESULT_PATH);\n", "",
          "the state word is written and flushed but never put in place"),
    Fault("notice-removal-not-flushed", BOOT,
          "    if (unlink(BOOT_ERROR) == 0) device::syncRoot();\n",
          "    unlink(BOOT_ERROR);\n",
          "a removed failure notice can come back after a power cut"),

    # ----- a bound, count or period off by one -----
    Fault("boot-ready-polls-one-short", BOOT,
          "constexpr int READY_POLLS = 90;\n", "constexpr int READY_POLLS = 89;\n",
          "a slot app that proves ready at the last poll is given up"),
    Fault("boot-keep-alive-period", BOOT,
          "constexpr int KEEP_ALIVE_EVERY = 10;\n", "constexpr int KEEP_ALIVE_EVERY = 11;\n",
          "the watchdog is fed a poll late while waiting for the ready text"),
    Fault("boot-port-probe-one-short", BOOT,
          "constexpr int PROBE_ATTEMPTS = 180;\n", "constexpr int PROBE_ATTEMPTS = 179;\n",
          "the stock launch gives up on port 80 half a second early"),
    Fault("switch-polls-one-more", SWITCH,
          "    for (int poll = 0; poll < POLLS; ++poll) {\n",
          "    for (int poll = 0; poll <= POLLS; ++poll) {\n",
          "a switch accepts a ready text after its 45 s are over"),
    Fault("switch-version-limit", SWITCH,
          "    return length <= VERSION_MAX && strspn(version, VERSION_BYTES) == length;\n",
          "    return length < VERSION_MAX && strspn(version, VERSION_BYTES) == length;\n",
          "a 20-byte version is refused"),
    Fault("switch-marker-read-64", SWITCH,
          "constexpr size_t MARKER_READ = MARKER_SIZE - 1;\n",
          "constexpr size_t MARKER_READ = MARKER_SIZE;\n",
          "the marker read fills the whole buffer, leaving no terminator",
          equivalent="the longest ready text is 23 bytes: strcmp meets a difference within "
                     "them, so neither the result nor the bytes read past the 63rd can change"),
    Fault("read-limit-one-over", FILES,
          "        if (n <= 0 || text.size() >= READ_LIMIT) break;\n",
          "        if (n <= 0 || text.size() > READ_LIMIT) break;\n",
          "a file over 16,384 bytes is read whole"),
    Fault("load-limit-one-short", FILES,
          "    if (n <= 0 || static_cast<size_t>(n) >= LOAD_BUFFER) return {};\n",
          "    if (n <= 0 || static_cast<size_t>(n) >= LOAD_BUFFER - 1) return {};\n",
          "a 4,095-byte configuration is refused"),
    Fault("detach-keeps-1023", COMMANDS,
          "    for (int fd = 0; fd <= LAST_CLOSED_DESCRIPTOR; ++fd) {\n",
          "    for (int fd = 0; fd < LAST_CLOSED_DESCRIPTOR; ++fd) {\n",
          "a worker keeps an inherited descriptor 1023 open for its whole life"),
    Fault("guard-unmount-one-short", GUARD,
          "constexpr int UNMOUNT_ATTEMPTS = 10;\n", "constexpr int UNMOUNT_ATTEMPTS = 9;\n",
          "a busy \"/res\" is given up half a second early"),

    # ----- a comparison that accepts too much or too little -----
    Fault("readback-skips-last-block", READBACK,
          "        if (offset >= size) continue;\n",
          "        if (offset + BLOCK_SIZE > size) continue;\n",
          "the image's last partial block is never compared with the flash"),
    Fault("readback-skips-block-end", READBACK,
          "        if (std::memcmp(deviceBlock.data(), imageBlock.data(), compared) != 0) return false;\n",
          "        if (std::memcmp(deviceBlock.data(), imageBlock.data(), compared - 1) != 0) return false;\n",
          "the last byte of every block is never compared with the flash"),
    Fault("image-magic-three-bytes", GUARD,
          "        std::memcmp(magic, SQUASHFS_MAGIC, sizeof magic) != 0) {\n",
          "        std::memcmp(magic, SQUASHFS_MAGIC, sizeof magic - 1) != 0) {\n",
          "an image whose fourth magic byte is wrong is admitted"),
    Fault("run-id-shorter", GUARD,
          "    if (runId.size() != RUN_ID_LENGTH) return false;\n",
          "    if (runId.size() > RUN_ID_LENGTH) return false;\n",
          "a run id shorter than 32 digits is admitted"),
    Fault("stock-library-not-tested", APP,
          "            return library == STOCK_LIBRARY && resources == STOCK_RESOURCES &&\n"
          "                   regular(library.c_str());\n",
          "            return library == STOCK_LIBRARY && resources == STOCK_RESOURCES;\n",
          "a stock configuration is launched although its library is missing"),
    Fault("slot-two-letters", SWITCH,
          "    return slot[0] != '\\0' && slot[1] == '\\0' && (slot[0] == 'a' || slot[0] == 'b');\n",
          "    return slot[0] != '\\0' && (slot[0] == 'a' || slot[0] == 'b');\n",
          "a slot argument \"ab\" is taken for slot a"),
    Fault("boot-ready-prefix", BOOT,
          "        if (device::read(READY_MARKER) == expected) return true;\n",
          "        if (device::read(READY_MARKER).compare(0, expected.size(), expected) == 0) return true;\n",
          "a ready text with anything after it confirms a launch"),

    # ----- a step skipped or reordered -----
    Fault("readback-page-cache-kept", GUARD,
          "    dropCachedPages(partition);\n", "",
          "the readback may see cached pages instead of the flash"),
    Fault("guard-host-not-stopped", GUARD,
          "        device::prop(SERVICE_STOP, HOST_SERVICE) && device::prop(SERVICE_STOP, BLUETOOTH_SERVICE);\n",
          "        device::prop(SERVICE_STOP, BLUETOOTH_SERVICE);\n",
          "\"/res\" is remounted under a running host"),
    Fault("boot-stale-marker-kept", BOOT,
          "    // A marker left from before this start must not confirm it.\n    unlink(READY_MARKER);\n", "",
          "a marker from the app before confirms the launch"),
    Fault("switch-rollback-not-current", SWITCH,
          "    device::copy(PREVIOUS_CFG, CURRENT_CFG);\n", "",
          "after a rollback the next power-up launches whatever was current before"),
    Fault("guard-config-not-restored", GUARD,
          "    restored = device::save(HOST_CONFIG_PATH, savedConfig);\n",
          "    restored = true;\n",
          "the host is restarted on whatever configuration it was left with"),
    Fault("hook-does-not-wait", HOOK,
          "    return waitFor(control);\n", "    return control;\n",
          "the host goes on before the boot control has chosen and left a zombie"),
    Fault("hook-wait-not-resumed", HOOK,
          "    } while (waited < 0 && errno == EINTR);\n", "    } while (false);\n",
          "a signal in the host ends the wait early"),

    # ----- a wrong exit code, state word or phase -----
    Fault("switch-locked-exit", SWITCH,
          "constexpr int EXIT_LOCKED = 3;\n", "constexpr int EXIT_LOCKED = 4;\n",
          "a refused switch says it could not start a worker"),
    Fault("switch-rolled-back-word", SWITCH,
          "constexpr const char* ROLLED_BACK = \"rolled_back\";\n",
          "constexpr const char* ROLLED_BACK = \"rolledback\";\n",
          "the installer cannot read the outcome of a rollback"),
    Fault("guard-timeout-phase", GUARD,
          "        if (monotonicNow() >= deadline) return PHASE_UPGRADE_TIMEOUT;\n",
          "        if (monotonicNow() >= deadline) return PHASE_UPGRADE_FAILED;\n",
          "a timed-out upgrade is recorded as a failed one"),
    Fault("boot-start-failed-exit", BOOT,
          "        return firstStarted ? EXIT_OK : EXIT_START_FAILED;\n    }\n\n    bool confirmed",
          "        return EXIT_OK;\n    }\n\n    bool confirmed",
          "a stock launch that never started reports success"),

    # ----- an unsafe open -----
    Fault("open-follows-links", FILES,
          "    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);\n",
          "    int fd = open(path, O_RDONLY | O_NONBLOCK);\n",
          "a planted link redirects what we read"),
    Fault("open-blocks-on-fifo", FILES,
          "    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);\n",
          "    int fd = open(path, O_RDONLY | O_NOFOLLOW);\n",
          "a planted FIFO blocks the reader"),
    Fault("files-world-readable", FILES,
          "constexpr mode_t FILE_MODE = 0600;\n", "constexpr mode_t FILE_MODE = 0644;\n",
          "new store and lock files are readable by everyone"),
    Fault("temp-link-truncated", FILES,
          "    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||\n"
          "        st.st_nlink != 1) {\n",
          "    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {\n",
          "a planted hard link as temporary file lets us empty an unrelated file"),

    # ----- a lock not taken, not held long enough, or blocking -----
    Fault("lock-blocks", FILES,
          "    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {\n", "    if (flock(fd, LOCK_EX) != 0) {\n",
          "a second instance waits for the lock instead of being refused"),
    Fault("boot-lock-not-taken", BOOT,
          "    const int lockFd = device::lock(SWITCH_LOCK);\n    if (lockFd < 0) return EXIT_LOCKED;\n",
          "    const int lockFd = device::lock(SWITCH_LOCK);\n",
          "a launch runs while a switch or an install holds the host"),
    Fault("switch-lock-released-early", SWITCH,
          "    device::result(PENDING);\n", "    device::result(PENDING);\n    close(lock);\n",
          "a second switch or a launch can start while this one waits"),
    Fault("guard-switch-lock-kept", GUARD,
          "    // Boot launches and slot switches may run again; the install lock stays.\n"
          "    close(switchLock);\n", "",
          "no slot switch can run until the next power-up"),
    Fault("boot-install-lock-not-taken", BOOT,
          "    const int installLock = device::lock(INSTALL_LOCK);\n",
          "    const int installLock = -1;\n",
          "a guarded install is admitted while the boot control waits, and cannot remount"),
]
