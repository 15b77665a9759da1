// Guest agent of the VM clock: the test host's hands inside the virtual
// machine. The guest's init starts it once "/data" is mounted and waits for
// its "go" before the platform's power-up begins. It answers one JSON
// request per line on the virtio serial port "tavrine.agent" and forwards
// the clock's event log, line by line, on the port "tavrine.events".
//
// Requests ({"id": N, "op": ...}; binary data base64 in "data"):
//   hello                      the guest's raw monotonic time, for the log's time axis
//   disks [TIMEOUT]            lets init bring up the flash and "/data"; answers once mounted
//   store                      every regular file of the app store (large ones as a digest)
//   read PATH / exists PATH / list
//   write PATH DATA MODE       atomic and durable (parents created)
//   copy FROM PATH             a file of the guest image, the same way
//   remove PATH                recursively; the directory flushed
//   run ARGV [workspace close cwd env input timeout]
//   spawn ARGV [...]           detached, in its own session
//   ps                         every process: pid, session, exe, argv
//   go BOOT                    lets init go on into the platform's power-up
// Every write it makes is flushed with its directory: what a test put on
// the clock must not be lost to a power cut that follows.
#include "simcore.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr const char* PORTS = "/sys/class/virtio-ports";
constexpr const char* AGENT_PORT = "tavrine.agent";
constexpr const char* EVENTS_PORT = "tavrine.events";
constexpr const char* STORE = "/data/tavrine-app";
constexpr const char* GO_FILE = "/run/sim/go";
constexpr const char* DISKS_FILE = "/run/sim/disks";
constexpr const char* MOUNTED_FILE = "/run/sim/mounted";
constexpr const char* FAILED_FILE = "/run/sim/failed";
constexpr std::size_t INLINE_LIMIT = 16384;  // larger store files are shown by their digest
constexpr std::size_t READ_LIMIT = 16 << 20;
constexpr int POLL_MS = 10;

int eventsOut = -1;
long long logOffset = 0;
std::string logPartial;

// ----- small helpers ------------------------------------------------------

const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encode(const std::string& in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += B64[(v >> 18) & 63];
        out += B64[(v >> 12) & 63];
        out += i + 1 < in.size() ? B64[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? B64[v & 63] : '=';
    }
    return out;
}

std::string decode(const std::string& in) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char* p = std::strchr(B64, c);
        if (c == '=' || c == '\0' || p == nullptr) continue;
        v = (v << 6) | static_cast<unsigned>(p - B64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xff);
        }
    }
    return out;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == 0 ? "/" : slash == std::string::npos ? "." : path.substr(0, slash);
}

void syncDir(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool makeDirs(const std::string& dir) {
    if (dir.empty() || dir == "/") return true;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!makeDirs(parentOf(dir))) return false;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    syncDir(parentOf(dir));
    return true;
}

bool saveDurably(const std::string& path, const std::string& data, int mode) {
    if (!makeDirs(parentOf(path))) return false;
    std::string tmp = path + ".sim-agent";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = writeAll(fd, data) && fchmod(fd, static_cast<mode_t>(mode)) == 0 && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    syncDir(parentOf(path));
    return true;
}

bool removeAll(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (d == nullptr) return false;
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(d);
        for (const auto& n : names) {
            if (!removeAll(path + "/" + n)) return false;
        }
        return rmdir(path.c_str()) == 0;
    }
    return unlink(path.c_str()) == 0;
}

// A short stand-in for a large file: equal contents give equal digests.
std::string digest(const std::string& data) {
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a, 64 bits
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ULL;
    char buf[64];
    std::snprintf(buf, sizeof buf, "fnv1a64:%016llx (%zu bytes)", h, data.size());
    return buf;
}

void collect(const std::string& dir, const std::string& rel, json& files) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    for (const auto& n : names) {
        std::string path = dir + "/" + n, key = rel.empty() ? n : rel + "/" + n;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            collect(path, key, files);
        } else if (S_ISREG(st.st_mode)) {
            std::string data;
            if (!sim::readFile(path, data, READ_LIMIT)) continue;
            files[key] = encode(data.size() > INLINE_LIMIT ? digest(data) : data);
        }
    }
}

// ----- the event log --------------------------------------------------------

// Sends every complete line the log gained since the last look.
void forwardEvents() {
    int fd = open(sim::EVENT_LOG, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[65536];
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, logOffset);
        if (n <= 0) break;
        logOffset += n;
        logPartial.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    auto end = logPartial.rfind('\n');
    if (end == std::string::npos) return;
    writeAll(eventsOut, logPartial.substr(0, end + 1));
    logPartial.erase(0, end + 1);
}

// ----- programs -------------------------------------------------------------

struct Launch {
    std::vector<std::string> argv;
    bool workspace = false;
    std::vector<int> close;
    std::string cwd = "/";
    std::map<std::string, std::string> env;
};

Launch launchOf(const json& req) {
    Launch l;
    l.argv = req.at("argv").get<std::vector<std::string>>();
    l.workspace = req.value("workspace", false);
    l.close = req.value("close", std::vector<int>{});
    l.cwd = req.value("cwd", std::string("/"));
    l.env = req.value("env", std::map<std::string, std::string>{});
    return l;
}

// In the child: the program through simexec, as the sandbox clock runs it.
[[noreturn]] void execLaunch(const Launch& l) {
    std::vector<std::string> args = {"/bin/simexec", "--cwd", l.cwd};
    if (l.workspace) args.push_back("--workspace");
    for (int fd : l.close) {
        args.push_back("--close");
        args.push_back(std::to_string(fd));
    }
    args.push_back("--");
    args.insert(args.end(), l.argv.begin(), l.argv.end());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (const auto& [k, v] : l.env) env.push_back(k + "=" + v);
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

// Runs a program to its end (or kills its process group at the timeout),
// forwarding events meanwhile.
json run(const json& req) {
    Launch l = launchOf(req);
    std::string input = decode(req.value("input", std::string()));
    double timeout = req.value("timeout", 60.0);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return {{"ok", false}, {"error", "pipe"}};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return {{"ok", false}, {"error", "pipe"}};
    }
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execLaunch(l);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (child > 0) writeAll(in[1], input);
    close(in[1]);
    std::string outs[2];
    int fds[2] = {out[0], err[0]};
    long long deadline = sim::realNanos() + static_cast<long long>(timeout * 1e9);
    bool killed = false;
    while (child > 0 && (fds[0] >= 0 || fds[1] >= 0)) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        poll(p, 2, POLL_MS);
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || p[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0) {
                outs[i].append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
        forwardEvents();
        if (!killed && sim::realNanos() > deadline) {
            kill(-child, SIGKILL);
            killed = true;
        }
    }
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0) return {{"ok", false}, {"error", "fork"}};
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return {{"ok", true}, {"code", code}, {"timeout", killed}, {"stdout", encode(outs[0])}, {"stderr", encode(outs[1])}};
}

json spawn(const json& req) {
    Launch l = launchOf(req);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execLaunch(l);
    }
    return {{"ok", child > 0}, {"pid", child}};
}

// Init waits for this before it touches a disk; its answer is "/data"
// mounted, or the reason it could not be.
json disks(const json& req) {
    long long deadline = sim::realNanos() + static_cast<long long>(req.value("timeout", 60.0) * 1e9);
    if (!sim::writeFileAtomic(DISKS_FILE, "")) return {{"ok", false}, {"error", "cannot signal init"}};
    struct stat st {};
    while (stat(MOUNTED_FILE, &st) != 0) {
        std::string reason;
        if (sim::readFile(FAILED_FILE, reason, 4096)) return {{"ok", false}, {"error", reason}};
        if (sim::realNanos() > deadline) return {{"ok", false}, {"error", "init did not mount the disks"}};
        usleep(POLL_MS * 1000);
    }
    return {{"ok", true}};
}

json processes() {
    json out = json::array();
    DIR* d = opendir("/proc");
    if (d == nullptr) return {{"ok", false}};
    while (dirent* e = readdir(d)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::string base = "/proc/" + std::string(e->d_name), cmdline, stat;
        if (!sim::readFile(base + "/cmdline", cmdline, 65536) || !sim::readFile(base + "/stat", stat, 4096)) continue;
        std::vector<std::string> argv;
        for (std::size_t start = 0; start < cmdline.size();) {
            auto end = cmdline.find('\0', start);
            if (end == std::string::npos) end = cmdline.size();
            argv.push_back(cmdline.substr(start, end - start));
            start = end + 1;
        }
        auto close = stat.rfind(')');
        int sid = 0;
        if (close != std::string::npos) {
            char state = 0;
            int ppid = 0, pgrp = 0;
            std::sscanf(stat.c_str() + close + 2, "%c %d %d %d", &state, &ppid, &pgrp, &sid);
            if (state == 'Z') continue;
        }
        out.push_back({{"pid", pid}, {"sid", sid}, {"exe", sim::exeName(pid)}, {"argv", argv}});
    }
    closedir(d);
    return {{"ok", true}, {"processes", out}};
}

// ----- requests -------------------------------------------------------------

json handle(const json& req) {
    const std::string op = req.at("op").get<std::string>();
    if (op == "hello") return {{"ok", true}, {"ns", sim::realNanos()}};
    if (op == "store") {
        json files = json::object();
        collect(STORE, "", files);
        return {{"ok", true}, {"files", files}};
    }
    if (op == "ps") return processes();
    if (op == "disks") return disks(req);
    if (op == "run") return run(req);
    if (op == "spawn") return spawn(req);
    const std::string path = req.value("path", std::string());
    if (op == "read") {
        std::string data;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {{"ok", true}, {"missing", true}};
        bool ok = sim::readFile(path, data, READ_LIMIT);
        return {{"ok", ok}, {"data", encode(data)}};
    }
    if (op == "exists") {
        struct stat st {};
        return {{"ok", true}, {"exists", lstat(path.c_str(), &st) == 0}};
    }
    if (op == "write") return {{"ok", saveDurably(path, decode(req.at("data").get<std::string>()), req.value("mode", 0644))}};
    if (op == "copy") {
        std::string data;
        struct stat st {};
        const std::string from = req.at("from").get<std::string>();
        bool ok = stat(from.c_str(), &st) == 0 && sim::readFile(from, data, READ_LIMIT) &&
                  saveDurably(path, data, static_cast<int>(st.st_mode & 07777));
        return {{"ok", ok}};
    }
    if (op == "remove") {
        bool ok = removeAll(path);
        syncDir(parentOf(path));
        return {{"ok", ok}};
    }
    if (op == "kill") return {{"ok", kill(req.at("pid").get<int>(), req.value("signal", SIGKILL)) == 0}};
    if (op == "go") {
        sync();
        return {{"ok", sim::writeFileAtomic(GO_FILE, req.value("boot", true) ? "boot" : "noboot")}};
    }
    return {{"ok", false}, {"error", "unknown op " + op}};
}

int openPort(const std::string& name) {
    DIR* d = opendir(PORTS);
    if (d == nullptr) return -1;
    int fd = -1;
    while (dirent* e = readdir(d)) {
        std::string text;
        if (e->d_name[0] == '.' || !sim::readFile(std::string(PORTS) + "/" + e->d_name + "/name", text, 256)) continue;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
        if (text == name) {
            fd = open(("/dev/" + std::string(e->d_name)).c_str(), O_RDWR | O_CLOEXEC);
            break;
        }
    }
    closedir(d);
    return fd;
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    // The ports' devices appear a moment after their driver loaded.
    int port = -1;
    for (int tries = 0; tries < 1000 && (port < 0 || eventsOut < 0); ++tries) {
        if (port < 0) port = openPort(AGENT_PORT);
        if (eventsOut < 0) eventsOut = openPort(EVENTS_PORT);
        if (port < 0 || eventsOut < 0) usleep(POLL_MS * 1000);
    }
    if (port < 0 || eventsOut < 0) return 1;
    std::string pending;
    for (;;) {
        pollfd p{port, POLLIN, 0};
        int ready = poll(&p, 1, POLL_MS);
        forwardEvents();
        // Detached children (spawned programs) end up here: no zombies.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (ready <= 0 || !(p.revents & POLLIN)) {
            // The host not yet connected shows as a hang-up: wait for it.
            if (ready > 0) usleep(POLL_MS * 1000);
            continue;
        }
        char buf[65536];
        ssize_t n = read(port, buf, sizeof buf);
        if (n <= 0) {
            usleep(POLL_MS * 1000);
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            json reply;
            try {
                json req = json::parse(line);
                reply = handle(req);
                reply["id"] = req.value("id", 0);
            } catch (const std::exception& e) {
                reply = {{"ok", false}, {"error", e.what()}};
            }
            writeAll(port, reply.dump() + "\n");
        }
    }
}
