// File watcher of the simulated clock: records every file replaced,
// written, created as a link or removed in the app store (recursively) and
// in "/tmp" (with the install directory), with a short view of small
// files' content. Signals readiness on the descriptor given as argument.
#include "simcore.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* ACTOR = "fs";
constexpr const char* STORE = "/data/tavrine-app";
constexpr const char* TMP = "/tmp";
constexpr std::size_t PREVIEW_LIMIT = 256;
constexpr uint32_t MASK = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE | IN_DELETE_SELF | IN_ONLYDIR;

int inotify = -1;
std::map<int, std::string> dirs;

// Temporary files of atomic writers and of the sim itself are noise.
bool temporary(const std::string& name) {
    auto ends = [&](const char* suffix) {
        std::string s = suffix;
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    return ends(".next") || name.find(".sim") != std::string::npos;
}

std::string describe(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return " (gone)";
    if (S_ISLNK(st.st_mode)) {
        char buf[512];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        return " -> symlink " + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (S_ISFIFO(st.st_mode)) return " (fifo)";
    if (!S_ISREG(st.st_mode)) return "";
    if (static_cast<std::size_t>(st.st_size) > PREVIEW_LIMIT) return " (" + std::to_string(st.st_size) + " bytes)";
    // Never block on a file swapped for a FIFO after the lstat.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return " (gone)";
    char buf[PREVIEW_LIMIT];
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, buf, sizeof buf) : -1;
    close(fd);
    return n < 0 ? "" : ": " + std::string(buf, static_cast<std::size_t>(n));
}

// Watches a directory. For one that just appeared (fresh), whatever was put
// into it before the watch took hold is recorded as "created", so a quick
// "mkdir -p && write" is never lost.
void watch(const std::string& dir, bool recursive, bool fresh) {
    int wd = inotify_add_watch(inotify, dir.c_str(), MASK);
    if (wd < 0) return;
    dirs[wd] = dir;
    if (!recursive && !fresh) return;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || temporary(name)) continue;
        struct stat st {};
        std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (fresh) sim::event("fs", "created directory " + path);
            if (recursive) watch(path, true, fresh);
        } else if (fresh) {
            sim::event("fs", "created " + path + describe(path));
        }
    }
    closedir(d);
}

void handle(const inotify_event* ev) {
    if (ev->mask & IN_Q_OVERFLOW) {
        sim::event(ACTOR, "event queue overflow, some changes not recorded");
        return;
    }
    auto it = dirs.find(ev->wd);
    if (it == dirs.end()) return;
    if (ev->mask & (IN_IGNORED | IN_DELETE_SELF)) {
        if (ev->mask & IN_IGNORED) dirs.erase(it);
        return;
    }
    std::string name = ev->len ? ev->name : "";
    std::string dir = it->second;
    std::string path = dir + "/" + name;
    if (name.empty() || temporary(name)) return;
    bool isDir = ev->mask & IN_ISDIR;
    bool inStore = dir.rfind(STORE, 0) == 0;
    if (ev->mask & IN_CREATE) {
        if (isDir) {
            if (inStore || path == "/tmp/tavrine-permanent-install") {
                sim::event(ACTOR, "created directory " + path);
                watch(path, inStore, true);
            }
            return;
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || S_ISFIFO(st.st_mode)))
            sim::event(ACTOR, "created " + path + describe(path));
        return;
    }
    if (ev->mask & IN_MOVED_TO) {
        if (isDir && inStore) watch(path, true, true);
        sim::event(ACTOR, "replaced " + path + describe(path));
    } else if (ev->mask & IN_CLOSE_WRITE) {
        sim::event(ACTOR, "written " + path + describe(path));
    } else if (ev->mask & IN_DELETE) {
        sim::event(ACTOR, "removed " + path);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int readyFd = argc > 1 ? std::atoi(argv[1]) : -1;
    inotify = inotify_init1(IN_CLOEXEC);
    if (inotify < 0) return 1;
    watch(STORE, true, false);
    watch(TMP, false, false);
    watch("/tmp/tavrine-permanent-install", false, false);
    if (readyFd >= 0) {
        ssize_t n = write(readyFd, "x", 1);
        (void)n;
        close(readyFd);
    }
    alignas(inotify_event) char buf[65536];
    for (;;) {
        ssize_t n = read(inotify, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            handle(ev);
            p += sizeof(inotify_event) + ev->len;
        }
    }
}
