// Fuzz target of the install guard's admission, through the command
// process's own main: arguments, run id, running configuration, image (kind,
// size and first bytes), the property workspace variable and descriptors,
// the upgrader state that "/bin/getprop" prints, and the two lock files.
//
// The exit status is compared with the admission rules restated here from
// their wording, and the descriptors open before and after must be the same
// set on every path. An admitted run forks a real worker, which is killed at
// once. Any difference aborts.
//
// Input: controls, then the arguments (one a line), the run id, the
// configuration, the image's first bytes, the workspace variable and what
// "/bin/getprop" prints.
//   controls: 0 argument count (0-3); 1 run id, 2 configuration and 3 image
//             kinds; 4 image size (0 its bytes, 1 95, 2 96, 3 8 MiB, 4 8 MiB
//             + 1, 5 4, 6 4,096, 7 8 MiB - 1); 5 workspace variable set (1);
//             6 open descriptors (bits: 10, 1023, 1024); 7 "/bin/getprop"
//             missing (1); 8 install lock and 9 switch lock kinds; 10 locks
//             held by another open file (bits: install, switch).
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

int guardMain(int argc, char** argv);  // the guard's main, renamed in this build

namespace {

pid_t lastChild = -1;

}  // namespace

// Linked with --wrap=fork: notes the child of every fork, so that the
// detached worker of an admitted run can be ended.
extern "C" pid_t __real_fork();
extern "C" pid_t __wrap_fork() {
    const pid_t pid = __real_fork();
    if (pid > 0) lastChild = pid;
    return pid;
}

namespace {

using harness::Kind;

constexpr const char* INSTALL_DIR = "/tmp/tavrine-permanent-install";
constexpr const char* RUN_ID = "/tmp/tavrine-permanent-install/run-id";
constexpr const char* IMAGE = "/tmp/tavrine-permanent-install/res.squashfs";
constexpr const char* READY = "/tmp/tavrine-permanent-install/guard-ready";
constexpr const char* HOST_CONFIG = "/tmp/EasyUI.cfg";
constexpr const char* INSTALL_LOCK = "/tmp/tavrine-install.lock";
constexpr const char* SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock";
constexpr const char* GETPROP = "/bin/getprop";
constexpr const char* GETPROP_OUT = "/fake/getprop.out";
constexpr const char* GETPROP_RUNS = "/fake/getprop.runs";
constexpr const char* WORKSPACE = "ANDROID_PROPERTY_WORKSPACE";
constexpr const char* STORE = "/data/tavrine-app/";

constexpr std::uint64_t SIZES[] = {0, 95, 96, 8388608, 8388609, 4, 4096, 8388607};
constexpr int DESCRIPTORS[] = {10, 1023, 1024};

bool regularKind(Kind kind) { return kind == Kind::regular || kind == Kind::hardLink; }

// What the one-read loader gives: a regular file of 1 to 4,095 bytes whole.
std::string loaded(Kind kind, const std::string& bytes) {
    return regularKind(kind) && !bytes.empty() && bytes.size() < 4096 ? bytes : std::string();
}

bool runIdGood(const std::string& id) {
    if (id.size() != 32) return false;
    for (const char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A string member read with a default: absent gives "", present but not a
// string refuses the whole configuration.
bool stringOrAbsent(const nlohmann::json& document, const char* key, std::string& value) {
    const auto found = document.find(key);
    if (found == document.end()) {
        value.clear();
        return true;
    }
    if (!found->is_string()) return false;
    value = found->get<std::string>();
    return true;
}

// Names a slot's library and that slot's resources; the library file itself
// is not looked at.
bool slotConfiguration(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text, nullptr, true, false);
    } catch (const nlohmann::json::exception&) {  // a parse error, or a number out of range
        return false;
    }
    if (!document.is_object()) return false;
    std::string library;
    if (!stringOrAbsent(document, "startupLibPath", library)) return false;
    for (const char slot : {'a', 'b'}) {
        const std::string base = STORE + std::string(1, slot);
        if (library != base + "/lib/libzkgui.so") continue;
        std::string resources;
        return stringOrAbsent(document, "resPath", resources) && resources == base + "/ui/";
    }
    return false;
}

bool imageGood(Kind kind, const std::string& head, std::uint64_t size) {
    return regularKind(kind) && size >= 96 && size <= 8388608 && head.size() >= 4 &&
           head.compare(0, 4, "hsqs") == 0;
}

// strtol's view of the text in the C locale: blanks, a sign, decimal digits,
// and then a comma; the number must name an open descriptor from 3 to 1023.
bool workspaceGood(const char* text, const std::set<int>& open) {
    if (text == nullptr) return false;
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
    bool negative = false;
    if (*at == '+' || *at == '-') negative = *at++ == '-';
    if (*at < '0' || *at > '9') return false;
    long number = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        if (number <= 100000) number = number * 10 + (*at - '0');
    }
    if (*at != ',' || negative) return false;
    return number >= 3 && number <= 1023 && open.count(static_cast<int>(number)) == 1;
}

// The state printed, as one read of at most 128 bytes, less its line ends.
bool upgraderIdle(bool present, const std::string& printed) {
    if (!present) return false;
    std::string value = printed.substr(0, 128);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value == "-1";
}

// Whether "/bin/getprop" was run by this process (the stand-in notes who
// ran it): a fork or exec that fails, as it may on a loaded machine, leaves
// the state empty.
bool getpropRan() {
    char line[64];
    std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
    std::string runs;
    if (FILE* file = std::fopen(GETPROP_RUNS, "re")) {
        char piece[256];
        std::size_t n;
        while ((n = std::fread(piece, 1, sizeof piece, file)) > 0) runs.append(piece, n);
        std::fclose(file);
    }
    return runs.compare(0, std::strlen(line), line) == 0 ||
           runs.find(std::string("\n") + line) != std::string::npos;
}

// An unlocked file our open may create or reuse; refused: a link, a
// directory, a FIFO without a reader, or a lock another open file holds.
bool lockable(Kind kind, bool held) {
    return (kind == Kind::missing || regularKind(kind)) && !held;
}

int hold(Kind kind, const char* path) {
    if (kind != Kind::missing && !regularKind(kind)) return -1;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) std::abort();
    return fd;
}

std::string listed(const std::set<int>& descriptors) {
    std::string text;
    for (const int fd : descriptors) text += " " + std::to_string(fd);
    return text;
}

[[noreturn]] void disagree(const char* what, int got, int expected, const std::set<int>& before,
                           const std::set<int>& after) {
    std::fprintf(stderr,
                 "disagreement: %s: exit %d, rules give %d; descriptors before:%s, after:%s\n",
                 what, got, expected, listed(before).c_str(), listed(after).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::enterPrivateRoot(FUZZ_GETPROP);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const harness::Input input(data, size);
    harness::reset({"/tmp", "/fake"});
    mkdir(INSTALL_DIR, 0755);

    const std::vector<std::string> arguments = harness::lines(input.field(1), input.control(0, 4));
    harness::CommandLine command("tavrine-install-guard", arguments);

    const Kind runIdKind = input.kind(1);
    const Kind configKind = input.kind(2);
    const Kind imageKind = input.kind(3);
    const std::string& runId = input.field(2);
    const std::string& config = input.field(3);
    const std::string& head = input.field(4);
    std::uint64_t imageSize = SIZES[input.control(4, 8)];
    if (imageSize == 0) imageSize = head.size();
    harness::plant(runIdKind, RUN_ID, runId);
    harness::plant(configKind, HOST_CONFIG, config);
    harness::plant(imageKind, IMAGE, head);
    if (regularKind(imageKind)) harness::sized(IMAGE, head, imageSize);

    const bool workspaceSet = input.control(5, 2) == 1;
    const std::string workspace = input.field(5).c_str();
    if (workspaceSet)
        setenv(WORKSPACE, workspace.c_str(), 1);
    else
        unsetenv(WORKSPACE);
    const unsigned descriptorBits = input.control(6, 8);
    std::vector<int> opened;
    for (int bit = 0; bit < 3; ++bit) {
        if (!(descriptorBits & (1u << bit))) continue;
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0 && dup2(null, DESCRIPTORS[bit]) == DESCRIPTORS[bit])
            opened.push_back(DESCRIPTORS[bit]);
        if (null >= 0) close(null);
    }

    const bool getpropPresent = input.control(7, 2) == 0;
    const std::string& printed = input.field(6);
    if (getpropPresent) {
        harness::plant(Kind::regular, GETPROP_OUT, printed);
        if (chmod(GETPROP, 0755) != 0) std::abort();
    } else if (chmod(GETPROP, 0644) != 0) {  // exec then fails
        std::abort();
    }

    const Kind installKind = input.kind(8);
    const Kind switchKind = input.kind(9);
    harness::plant(installKind, INSTALL_LOCK, "");
    harness::plant(switchKind, SWITCH_LOCK, "");
    const unsigned heldBits = input.control(10, 4);
    const int installHeld = heldBits & 1 ? hold(installKind, INSTALL_LOCK) : -1;
    const int switchHeld = heldBits & 2 ? hold(switchKind, SWITCH_LOCK) : -1;

    const std::set<int> before = harness::openDescriptors();
    const pid_t self = getpid();
    lastChild = -1;
    const int status = guardMain(command.argc(), command.argv());
    if (getpid() != self) _exit(0);  // a worker that gave up must never fuzz on
    const bool ran = getpropRan();
    if (status == 0 && lastChild > 0) {
        kill(lastChild, SIGKILL);
        waitpid(lastChild, nullptr, 0);
    }
    const std::set<int> after = harness::openDescriptors();

    int expected = 0;
    const char* step = "admitted";
    if (command.argc() != 2 || command.words[1] != "--watch") {
        expected = 2, step = "arguments";
    } else if (!runIdGood(loaded(runIdKind, runId))) {
        expected = 3, step = "run id";
    } else if (!slotConfiguration(loaded(configKind, config))) {
        expected = 3, step = "configuration";
    } else if (!imageGood(imageKind, head, imageSize)) {
        expected = 4, step = "image";
    } else if (!workspaceGood(workspaceSet ? workspace.c_str() : nullptr, before)) {
        expected = 5, step = "workspace";
    } else if (!upgraderIdle(getpropPresent && ran, printed)) {
        expected = 5, step = "upgrader state";
    } else if (!lockable(installKind, installHeld >= 0)) {
        expected = 5, step = "install lock";
    } else if (!lockable(switchKind, switchHeld >= 0)) {
        expected = 5, step = "switch lock";
    }

    // FUZZ_EXPLAIN=1 names the step that decides each input, to check seeds.
    if (std::getenv("FUZZ_EXPLAIN")) std::fprintf(stderr, "%s: exit %d\n", step, status);
    if (status != expected) disagree(step, status, expected, before, after);
    if (after != before)
        disagree("descriptors open after the command process", status, expected, before, after);
    struct stat st {};
    if (status != 0 && lstat(READY, &st) == 0)
        disagree("refused run announced itself", status, expected, before, after);

    for (const int fd : {installHeld, switchHeld})
        if (fd >= 0) close(fd);
    for (const int fd : opened) close(fd);
    return 0;
}
