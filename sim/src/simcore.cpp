#include "simcore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {

long long realNanos() {
    struct timespec ts {};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string shown(const std::string& value) {
    bool plain = !value.empty();
    for (unsigned char c : value) {
        if (c <= ' ' || c == '"' || c >= 0x7f) plain = false;
    }
    return plain ? escape(value) : "\"" + escape(value) + "\"";
}

void event(const std::string& actor, const std::string& text) {
    std::string line = std::to_string(realNanos()) + " " + std::to_string(getpid()) + " " +
                       (actor.empty() ? "?" : actor) + " " + escape(text) + "\n";
    int fd = open(EVENT_LOG, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

std::string exeName(int pid) {
    // A parent outside the clock's PID namespace shows as 0: a test's run.
    if (pid == 0) return "outside";
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    char buf[512];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n <= 0) return "?";
    std::string path(buf, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // An ARM program runs as qemu-user, which binfmt_misc or the launcher
    // starts as "qemu-arm-static PROGRAM ARGS...": name the program instead.
    if (name.compare(0, 5, "qemu-") == 0) {
        std::string cmdline;
        if (readFile("/proc/" + std::to_string(pid) + "/cmdline", cmdline, 4096)) {
            auto first = cmdline.find('\0');
            if (first != std::string::npos && first + 1 < cmdline.size()) {
                std::string program = cmdline.substr(first + 1, cmdline.find('\0', first + 1) - first - 1);
                slash = program.rfind('/');
                if (!program.empty()) name = slash == std::string::npos ? program : program.substr(slash + 1);
            }
        }
    }
    return name;
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (unsigned char c : name) {
        if (c == '/' || c <= ' ' || c >= 0x7f) return false;
    }
    return true;
}

bool readFile(const std::string& path, std::string& out, std::size_t limit) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > limit) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

bool writeFileAtomic(const std::string& path, const std::string& text, int mode) {
    std::string tmp = path + ".sim" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string getProp(const std::string& name) {
    std::string value;
    if (!validName(name)) return value;
    readFile(std::string(PROPS_DIR) + "/" + name, value, 4096);
    return value;
}

bool putProp(const std::string& name, const std::string& value) {
    return validName(name) && writeFileAtomic(std::string(PROPS_DIR) + "/" + name, value);
}

namespace {

// A fault line names a property alone (any value) or "name=value".
bool faultMatches(const std::string& rule, const std::string& name, const std::string& value) {
    auto eq = rule.find('=');
    if (eq == std::string::npos) return rule == name;
    return rule.substr(0, eq) == name && rule.substr(eq + 1) == value;
}

std::vector<std::string> faultLines(const char* file) {
    std::string text;
    readFile(std::string(FAULTS_DIR) + "/" + file, text, 65536);
    return lines(text);
}

}  // namespace

bool faultSetpropFails(const std::string& name, const std::string& value) {
    for (const auto& line : faultLines("setprop-fail")) {
        if (faultMatches(line, name, value)) return true;
    }
    return false;
}

int faultSetpropHangs(const std::string& name, const std::string& value) {
    for (const auto& line : faultLines("setprop-hang")) {
        auto space = line.find(' ');
        if (space == std::string::npos) continue;
        if (faultMatches(line.substr(space + 1), name, value)) return std::atoi(line.substr(0, space).c_str());
    }
    return 0;
}

bool faultRefusesStop(const std::string& service) {
    for (const auto& line : faultLines("refuse-stop")) {
        if (line == service) return true;
    }
    return false;
}

int faultHostTicks() {
    for (const auto& line : faultLines("host-ticks")) return std::atoi(line.c_str());
    return 0;
}

void sleepSeconds(double seconds) {
    if (seconds <= 0) return;
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace sim
