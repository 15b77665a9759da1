// Fuzz target of the command lines of the slot switch and the boot control,
// through each program's own main. The switch lock is held by this process
// for good, so neither program ever gets to fork a worker: a command line
// that passes its rules ends at the lock (slot switch: 3; boot control: 4
// with a valid configuration in place, 3 without). Each status is compared
// with the rules restated here, and the descriptors open before and after
// must be the same set. Any difference aborts.
//
// Input: controls, then the arguments, one a line.
//   controls: 0 program (0 slot switch, 1 boot control); 1 argument count
//             (0-3); 2 boot control's configurations (bits: stock, current).
#include "harness.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int switchMain(int argc, char** argv);  // the slot switch's main, renamed in this build
int bootMain(int argc, char** argv);    // the boot control's main, renamed in this build

namespace {

constexpr const char* SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock";
constexpr const char* STOCK_CONFIG = "/res/etc/tavrine-stock.cfg";
constexpr const char* CURRENT_CONFIG = "/data/tavrine-app/current.cfg";
constexpr const char* STOCK_DOCUMENT =
    R"({"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"})";
constexpr const char* SLOT_DOCUMENT = R"({"startupLibPath":"/data/tavrine-app/a/lib/libzkgui.so",)"
                                      R"("resPath":"/data/tavrine-app/a/ui/"})";

int heldLock = -1;

// Slot "a" or "b"; a version of at most 20 bytes, each a digit or a dot.
bool switchArguments(const harness::CommandLine& command) {
    if (command.argc() != 3) return false;
    const std::string& slot = command.words[1];
    const std::string& version = command.words[2];
    if (slot != "a" && slot != "b") return false;
    if (version.size() > 20) return false;
    for (const char c : version)
        if (c != '.' && (c < '0' || c > '9')) return false;
    return true;
}

bool bootArguments(const harness::CommandLine& command) {
    return command.argc() == 2 && (command.words[1] == "--start" || command.words[1] == "--stock");
}

void put(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, text, std::strlen(text)) < 0) std::abort();
    close(fd);
}

[[noreturn]] void disagree(const char* what, int got, int expected) {
    std::fprintf(stderr, "disagreement: %s: exit %d, rules give %d\n", what, got, expected);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::enterPrivateRoot(nullptr);
    harness::reset({"/res/lib", "/res/etc", "/data/tavrine-app/a/lib"});
    put("/res/lib/libzkgui.so", "\177ELF");
    put("/data/tavrine-app/a/lib/libzkgui.so", "\177ELF");
    heldLock = open(SWITCH_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (heldLock < 0 || flock(heldLock, LOCK_EX | LOCK_NB) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const harness::Input input(data, size);
    const bool boot = input.control(0, 2) == 1;
    harness::CommandLine command(boot ? "tavrine-boot-control" : "tavrine-ota-switch",
                                 harness::lines(input.field(1), input.control(1, 4)));
    const unsigned configurations = input.control(2, 4);
    unlink(STOCK_CONFIG);
    unlink(CURRENT_CONFIG);
    if (configurations & 1) put(STOCK_CONFIG, STOCK_DOCUMENT);
    if (configurations & 2) put(CURRENT_CONFIG, SLOT_DOCUMENT);

    int expected;
    if (boot) {
        // No stock marker: "--start" launches "current.cfg", "--stock" the stock one.
        const bool stock = command.argc() == 2 && command.words[1] == "--stock";
        const bool present = configurations & (stock ? 1 : 2);
        expected = !bootArguments(command) ? 2 : present ? 4 : 3;
    } else {
        expected = switchArguments(command) ? 3 : 2;
    }

    const std::set<int> before = harness::openDescriptors();
    const int status = boot ? bootMain(command.argc(), command.argv())
                            : switchMain(command.argc(), command.argv());
    if (status != expected) disagree(boot ? "boot control" : "slot switch", status, expected);
    if (harness::openDescriptors() != before) disagree("descriptors left open", status, expected);
    return 0;
}
