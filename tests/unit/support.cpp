// Scaffolding of the unit tests; see support.h.
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace unit {
namespace {

bool inSandbox = false;
std::string problem = "private device root not set up";

// Proves we are inside our own root before anything is wiped.
constexpr const char* SANDBOX_MARK = "/.unit-sandbox";
// Pristine copies of the fakes, so a case may delete or break "/bin/setprop".
constexpr const char* PRISTINE = "/.fakes";
// The child's report pipe sits above the range that a detached worker
// closes, so detach cases can still report.
constexpr int REPORT_FD = 1100;

bool fail(const char* step) {
    problem = std::string("sandbox: ") + step + ": " + std::strerror(errno);
    return false;
}

bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::string bytes = slurp(from);
    if (bytes.empty()) return false;
    put(to, bytes, mode);
    return true;
}

bool bindInto(const std::string& root, const char* dir, bool readOnly) {
    std::string target = root + dir;
    if (mkdir(target.c_str(), 0755) != 0) return fail("mkdir");
    if (mount(dir, target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return fail(dir);
    if (readOnly &&
        mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return fail("read-only remount");
    return true;
}

void mkdirs(const std::string& path, mode_t mode) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), mode);
    }
}

bool buildRoot() {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) std::strcpy(cwd, "/");
    // Read before the tmpfs goes over "/tmp": a build under "/tmp" would
    // otherwise find its own fake commands hidden.
    const std::string setprop = slurp(FAKE_SETPROP);
    const std::string getprop = slurp(FAKE_GETPROP);
    if (setprop.empty() || getprop.empty()) {
        errno = ENOENT;
        return fail("fake commands not built");
    }
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("make / private");
    // The working directory may be hidden by the mounts below; bind it
    // through a descriptor so relative paths of the test run keep working.
    // Opened in the new namespace: a bind from a mount of another namespace
    // is refused (EINVAL).
    int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // The new root is a tmpfs over the host's /tmp, which only this
    // namespace sees; it and everything in it vanish with the process.
    const std::string root = "/tmp";
    if (mount("unit-root", root.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
        return fail("tmpfs");
    if (!bindInto(root, "/usr", true) || !bindInto(root, "/etc", true) ||
        !bindInto(root, "/dev", false) || !bindInto(root, "/proc", false))
        return false;
    symlink("usr/lib", (root + "/lib").c_str());
    symlink("usr/lib64", (root + "/lib64").c_str());
    mkdir((root + PRISTINE).c_str(), 0755);
    put(root + PRISTINE + "/setprop", setprop, 0755);
    put(root + PRISTINE + "/getprop", getprop, 0755);
    std::string work = std::string(cwd) == "/" ? "" : root + cwd;
    if (!work.empty() && here >= 0) {
        mkdirs(work, 0755);
        std::string source = "/proc/self/fd/" + std::to_string(here);
        if (mount(source.c_str(), work.c_str(), nullptr, MS_BIND, nullptr) != 0) work.clear();
    }
    if (here >= 0) close(here);
    put(root + SANDBOX_MARK, "");
    if (chroot(root.c_str()) != 0) return fail("chroot");
    if (chdir(work.empty() ? "/" : cwd) != 0) return fail("chdir");
    return true;
}

std::string fdPath(int fd) {
    char link[64], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    return n > 0 ? std::string(path, n) : std::string();
}

bool endsWith(const std::string& text, const std::string& tail) {
    return !tail.empty() && text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

Faults faultState;
std::vector<std::string> directoryFsyncs;

}  // namespace

void enterSandbox() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur <= REPORT_FD &&
        files.rlim_max > REPORT_FD) {
        files.rlim_cur = REPORT_FD + 1;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (geteuid() != 0) {
        problem = "needs root for a private mount namespace";
        return;
    }
    inSandbox = buildRoot();
    if (inSandbox) resetSandbox();
}

bool sandboxed() { return inSandbox; }
const std::string& sandboxProblem() { return problem; }

void resetSandbox() {
    struct stat st {};
    if (!inSandbox || lstat(SANDBOX_MARK, &st) != 0) std::abort();  // never wipe a host tree
    for (const char* dir : {"/bin", "/data", "/res", "/fake", "/tmp"}) removeTree(dir);
    mkdir("/bin", 0755);
    copyFile(std::string(PRISTINE) + "/setprop", "/bin/setprop", 0755);
    copyFile(std::string(PRISTINE) + "/getprop", "/bin/getprop", 0755);
    mkdirs("/data/tavrine-app", 0755);
    mkdirs("/res/lib", 0755);
    mkdirs("/res/ui", 0755);
    put("/res/lib/libzkgui.so", std::string("\x7f") + "ELF stock");
    mkdir("/fake", 0755);
    mkdir("/tmp", 0755);
    chmod("/tmp", 01777);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string slurp(const std::string& path) {
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return bytes;
    char piece[8192];
    ssize_t n;
    while ((n = ::read(fd, piece, sizeof piece)) > 0) bytes.append(piece, n);
    close(fd);
    return bytes;
}

void put(const std::string& path, const std::string& bytes, mode_t mode) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())) << path;
    fchmod(fd, mode);
    close(fd);
}

void removeTree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, FTW*) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

int openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (readdir(dir)) ++count;
    closedir(dir);
    return count - 3;  // ".", ".." and the directory's own descriptor
}

std::vector<std::vector<std::string>> calls(const char* log) {
    // Each call: the argument count, then every argument, all zero-terminated.
    std::vector<std::vector<std::string>> found;
    std::string bytes = slurp(log);
    size_t at = 0;
    auto next = [&]() {
        size_t end = bytes.find('\0', at);
        if (end == std::string::npos) end = bytes.size();
        std::string field = bytes.substr(at, end - at);
        at = end + 1;
        return field;
    };
    while (at < bytes.size()) {
        int count = std::atoi(next().c_str());
        std::vector<std::string> args;
        for (int i = 0; i < count && at <= bytes.size(); ++i) args.push_back(next());
        found.push_back(args);
    }
    return found;
}

std::string flag(bool on) { return on ? "1" : "0"; }

const char* entryName(Entry entry) {
    static const char* const names[] = {"missing",  "regular",      "symlink",   "dangling",
                                        "hardLink", "foreignOwner", "directory", "fifo",
                                        "fifoOpen", "socket",       "device"};
    return names[static_cast<int>(entry)];
}

void PrintTo(Entry entry, std::ostream* out) { *out << entryName(entry); }

int plant(Entry entry, const std::string& path, const std::string& victim) {
    put(victim, VICTIM_BYTES);
    int fd = -1;
    switch (entry) {
        case Entry::missing: break;
        case Entry::regular:  // a stale file of our own, longer than any new content
            put(path, std::string(6000, 'S'), 0600);
            break;
        case Entry::symlink: EXPECT_EQ(symlink(victim.c_str(), path.c_str()), 0); break;
        case Entry::dangling:
            EXPECT_EQ(symlink((victim + "-absent").c_str(), path.c_str()), 0);
            break;
        case Entry::hardLink: EXPECT_EQ(link(victim.c_str(), path.c_str()), 0); break;
        case Entry::foreignOwner:
            put(path, VICTIM_BYTES, 0600);
            EXPECT_EQ(chown(path.c_str(), 4242, 4242), 0);
            break;
        case Entry::directory: EXPECT_EQ(mkdir(path.c_str(), 0755), 0); break;
        case Entry::fifo: EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); break;
        case Entry::fifoOpen:
            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
            fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            EXPECT_EQ(::write(fd, "7\n", 2), 2);
            break;
        case Entry::socket: {
            fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
            break;
        }
        case Entry::device:  // a twin of "/dev/null": it opens for writing, and fsync refuses it
            EXPECT_EQ(mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0)
                << std::strerror(errno);
            break;
    }
    return fd;
}

Child inChild(const std::function<std::string()>& body, int timeoutMs) {
    Child child;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return child;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        int report = dup3(pipeEnds[1], REPORT_FD, O_CLOEXEC) == REPORT_FD ? REPORT_FD : pipeEnds[1];
        if (report != pipeEnds[1]) close(pipeEnds[1]);
        std::string out = body();
        ssize_t ignored = syscall(SYS_write, report, out.data(), out.size());
        (void)ignored;
        _exit(0);
    }
    close(pipeEnds[1]);
    if (pid < 0) {
        close(pipeEnds[0]);
        return child;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool eof = false;
    while (!eof) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (spent >= timeoutMs) break;
        pollfd wait{pipeEnds[0], POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(timeoutMs - spent)) <= 0) continue;
        char piece[4096];
        ssize_t n = ::read(pipeEnds[0], piece, sizeof piece);
        if (n > 0)
            child.out.append(piece, n);
        else
            eof = true;
    }
    close(pipeEnds[0]);
    if (!eof) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    child.finished = eof && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return child;
}

Faults& faults() { return faultState; }

void clearFaults() {
    faultState = Faults{};
    directoryFsyncs.clear();
}

std::vector<std::string> flushedDirectories() { return directoryFsyncs; }

void Scratch::SetUp() {
    umask(022);
    char pattern[] = "/tmp/unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    dir = pattern;
    clearFaults();
    alarm(20);  // a hang ends the case (and the run) with SIGALRM instead of never
}

void Scratch::TearDown() {
    alarm(0);
    clearFaults();
    for (const char* name :
         {"FAKE_SETPROP_EXIT", "FAKE_SETPROP_SIGNAL", "FAKE_GETPROP_EXIT", "FAKE_GETPROP_DELAY_MS"})
        unsetenv(name);
    signal(SIGCHLD, SIG_DFL);
    if (!dir.empty()) removeTree(dir);
}

void Sandboxed::SetUp() {
    // Only a run without root may skip: as root a broken sandbox would
    // otherwise pass the whole suite as skipped.
    if (!sandboxed() && geteuid() == 0) FAIL() << sandboxProblem();
    if (!sandboxed()) GTEST_SKIP() << sandboxProblem();
    resetSandbox();
    Scratch::SetUp();
}

}  // namespace unit

// Fault injection: these definitions take the place of libc's for every
// call made from this binary, the statically linked library included.
extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
    using unit::WriteFault;
    const unit::Faults& armed = unit::faultState;
    if (armed.write != WriteFault::none && unit::endsWith(unit::fdPath(fd), armed.writeSuffix)) {
        if (armed.write == WriteFault::fail) {
            errno = EIO;
            return -1;
        }
        if (armed.write == WriteFault::zero) return 0;
        if (count > 3) count = 3;  // shortPieces: at most three bytes per call
    }
    return syscall(SYS_write, fd, bytes, count);
}

extern "C" int fsync(int fd) {
    std::string path = unit::fdPath(fd);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) unit::directoryFsyncs.push_back(path);
    if (unit::endsWith(path, unit::faultState.fsyncSuffix)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}
