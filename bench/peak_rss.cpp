// Peak resident memory of every process of a run, each on its own.
//
//   tavrine-peak-rss OUT PROGRAM [ARGS...]
//
// Runs PROGRAM under ptrace, following every fork (detached workers too),
// and stops each of its processes at exit, where its memory still exists,
// to append "PID PARENT EXE VmHWM-kB" to OUT. A process that executes
// another program (setprop, getprop) is let go, with all it starts. The
// rusage of wait4 would not do: a process's ru_maxrss there is folded with
// that of every child it waited for (here the platform's larger setprop).
// Ends when the last traced process has ended, with PROGRAM's own status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string peakKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::to_string(std::stol(line.substr(6)));
    return "?";
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string executable(pid_t pid) {
    char path[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    FILE* out = std::fopen(argv[1], "a");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    const pid_t first = fork();
    if (first == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    if (first < 0 || waitpid(first, &status, 0) != first) return 2;
    const long options = PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC |
                         PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
    ptrace(PTRACE_SETOPTIONS, first, nullptr, reinterpret_cast<void*>(options));
    ptrace(PTRACE_CONT, first, nullptr, nullptr);

    std::map<pid_t, pid_t> parent{{first, getpid()}};
    std::set<pid_t> started{first};  // past the stop every new tracee begins with
    int result = 127;
    for (;;) {
        const pid_t pid = waitpid(-1, &status, __WALL);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;  // ECHILD: nothing traced is left
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (pid == first) result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            continue;
        }
        if (!WIFSTOPPED(status)) continue;
        const int event = status >> 16;
        int deliver = 0;
        if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE) {
            unsigned long child = 0;
            ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &child);
            parent[static_cast<pid_t>(child)] = pid;
        } else if (event == PTRACE_EVENT_EXEC && baseName(executable(pid)) != baseName(argv[2])) {
            ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
            continue;
        } else if (event == PTRACE_EVENT_EXIT) {
            std::fprintf(out, "%d %d %s %s\n", pid, parent[pid], executable(pid).c_str(), peakKilobytes(pid).c_str());
            std::fflush(out);
        } else if (event == 0 && !started.count(pid) && WSTOPSIG(status) == SIGSTOP) {
            started.insert(pid);
        } else if (event == 0) {
            deliver = WSTOPSIG(status);
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    std::fclose(out);
    return result;
}
