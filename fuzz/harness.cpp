// Scaffolding of the fuzz targets; see harness.h.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace harness {
namespace {

constexpr const char* ROOT = "/tmp";  // the host's /tmp, hidden by our tmpfs
constexpr const char* MARK = "/.fuzz-root";
constexpr const char* SEPARATOR = "\n---\n";

[[noreturn]] void die(const char* step) {
    std::fprintf(stderr, "fuzz root: %s: %s\n", step, std::strerror(errno));
    std::abort();
}

void mkdirs(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
    }
}

void bindInto(const char* dir, bool readOnly) {
    const std::string target = std::string(ROOT) + dir;
    mkdirs(target);
    if (mount(dir, target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) die(dir);
    if (readOnly &&
        mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        die("read-only remount");
}

// Binds the directory open as fd at path inside the root.
void bindThrough(int fd, const std::string& path) {
    const std::string target = std::string(ROOT) + path;
    mkdirs(target);
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) die(path.c_str());
    close(fd);
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) die(path.c_str());
    if (!bytes.empty() &&
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        die(path.c_str());
    close(fd);
}

std::string slurp(const char* path) {
    std::string bytes;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path);
    char piece[65536];
    ssize_t n;
    while ((n = read(fd, piece, sizeof piece)) > 0) bytes.append(piece, static_cast<size_t>(n));
    close(fd);
    return bytes;
}

void removeTree(const char* path) {
    nftw(
        path,
        [](const char* p, const struct stat*, int, FTW*) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

}  // namespace

void enterPrivateRoot(const char* getprop) {
    if (geteuid() != 0) {
        errno = EPERM;
        die("needs root for a private mount namespace");
    }
    // Descriptors inherited from whoever started the run would make an
    // input's outcome depend on that caller (a workspace number that happens
    // to be open); only those an input opens itself count.
    for (const int fd : openDescriptors())
        if (fd > STDERR_FILENO) close(fd);
    const std::string program = getprop ? slurp(getprop) : std::string();
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) die("getcwd");
    if (unshare(CLONE_NEWNS) != 0) die("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("make / private");
    // Bound through a descriptor, taken inside the new namespace: the tmpfs
    // below may hide the directory.
    const int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (here < 0) die("open .");
    // The symbolizer of a crash report reads the target's own file.
    std::string exeDir;
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) exeDir.assign(exe, static_cast<std::size_t>(length));
    exeDir.erase(exeDir.empty() ? 0 : exeDir.rfind('/'));
    const int programDir =
        exeDir.empty() ? -1 : open(exeDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (mount("fuzz-root", ROOT, "tmpfs", MS_NOSUID, "mode=0755") != 0) die("tmpfs");
    bindInto("/usr", true);
    bindInto("/dev", false);
    bindInto("/proc", false);
    symlink("usr/lib", (std::string(ROOT) + "/lib").c_str());
    symlink("usr/lib64", (std::string(ROOT) + "/lib64").c_str());
    symlink("usr/sbin", (std::string(ROOT) + "/sbin").c_str());
    if (programDir >= 0) bindThrough(programDir, exeDir);
    if (std::strcmp(cwd, "/") != 0)
        bindThrough(here, cwd);
    else
        close(here);
    if (!program.empty()) {
        mkdirs(std::string(ROOT) + "/bin");
        writeFile(std::string(ROOT) + "/bin/getprop", program, 0755);
    }
    writeFile(std::string(ROOT) + MARK, "", 0644);
    if (chroot(ROOT) != 0) die("chroot");
    if (chdir(cwd) != 0) die("chdir");
    reset({"/tmp", "/data/tavrine-app", "/res"});
}

void reset(std::initializer_list<const char*> dirs) {
    struct stat st {};
    if (lstat(MARK, &st) != 0) die("not in the fuzz root");  // never wipe a host tree
    for (const char* dir : dirs) {
        removeTree(dir);
        mkdirs(dir);
    }
    chmod("/tmp", 01777);
}

void plant(Kind kind, const std::string& path, const std::string& bytes) {
    const std::string target = path + ".target";
    switch (kind) {
        case Kind::missing:
        case Kind::count: break;
        case Kind::regular: writeFile(path, bytes, 0600); break;
        case Kind::symlink:
            writeFile(target, bytes, 0600);
            if (symlink(target.c_str(), path.c_str()) != 0) die("symlink");
            break;
        case Kind::directory:
            if (mkdir(path.c_str(), 0755) != 0) die("mkdir");
            break;
        case Kind::fifo:
            if (mkfifo(path.c_str(), 0600) != 0) die("mkfifo");
            break;
        case Kind::hardLink:
            writeFile(target, bytes, 0600);
            if (link(target.c_str(), path.c_str()) != 0) die("link");
            break;
    }
}

void sized(const std::string& path, const std::string& head, std::uint64_t size) {
    writeFile(path,
              head.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, head.size()))),
              0600);
    if (truncate(path.c_str(), static_cast<off_t>(size)) != 0) die("truncate");
}

Input::Input(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t step = std::strlen(SEPARATOR);
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = text.find(SEPARATOR, at);
        if (end == std::string::npos) {
            fields.push_back(text.substr(at));
            break;
        }
        fields.push_back(text.substr(at, end - at));
        at = end + step;
    }
}

unsigned Input::control(std::size_t index, unsigned n) const {
    const std::string& controls = field(0);
    if (index >= controls.size()) return 0;
    return static_cast<unsigned char>(controls[index] - '0') % n;
}

Kind Input::kind(std::size_t index) const {
    return static_cast<Kind>(control(index, static_cast<unsigned>(Kind::count)));
}

const std::string& Input::field(std::size_t index) const {
    static const std::string none;
    return index < fields.size() ? fields[index] : none;
}

std::set<int> openDescriptors() {
    std::set<int> open;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) die("/proc/self/fd");
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) open.insert(fd);
    }
    closedir(dir);
    return open;
}

CommandLine::CommandLine(const char* program, const std::vector<std::string>& arguments) {
    words.emplace_back(program);
    for (const std::string& argument : arguments) words.emplace_back(argument.c_str());
    for (std::string& word : words) pointers.push_back(&word[0]);
    pointers.push_back(nullptr);
}

std::vector<std::string> lines(const std::string& text, unsigned count) {
    std::vector<std::string> found;
    std::size_t at = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (at > text.size()) {
            found.emplace_back();
            continue;
        }
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        found.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return found;
}

}  // namespace harness
