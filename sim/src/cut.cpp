// cut: runs one program under ptrace and numbers every system call of its
// own processes in one global sequence, to log them, to kill everything at
// the entry of call N (a power cut just before it), or to make call N fail
// with a given errno.
//
//   cut PROGRAM [ARG...]
//
// Installed as the prefix of a `wrap=` wrapper, so the plan is read at every
// start from "/run/sim/cut/NAME" (NAME: the program's file name without
// ".real"), one line:
//   log            trace and log only
//   kill N         SIGKILL every traced process at the entry of call N
//   fail N ERRNO   skip call N and let it return -ERRNO
// Either may end in "after NAME PATH": N then counts from the first call
// NAME whose last path argument is PATH (that call is 0), for steps that
// follow a wait whose number of polls depends on another program.
// Without a plan file the program is exec'd untraced. Every traced run
// appends to "/run/sim/cut/NAME.log":
//   run PID ARGV...
//   N PID ROLE NAME PATH[|PATH] = RESULT
//   kill N | fail N ERRNO
//   exit PID ROLE STATUS | signal PID ROLE SIG
// PATH is a string argument or, for a descriptor argument, the target of
// /proc/PID/fd/N at the call's entry. ROLE: "command" (the process the
// caller started), "worker" (a child once it has called setsid), "child"
// (any other child, until it execs: then it is detached, uncounted).
//
// The sequence must be the same on every run, so only one traced process
// runs at a time: the program itself runs in our parent (so the caller's
// wait sees it end as usual) and we, its child, trace it. A newly forked
// child stays stopped until its parent enters a call that may wait for it
// (wait4, waitid, read) or ends; in our programs the parent then blocks
// until the child has exec'd or for good.
#include <seccomp.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* PLAN_DIR = "/run/sim/cut/";

enum class Mode { Log, Kill, Fail };

struct Tracee {
    pid_t parent = 0;
    bool worker = false;
    bool held = false;     // a new child not yet let go
    bool seen = false;     // its first stop has come
    bool stopped = false;  // held at that stop
    std::string pending;   // the entry half of the call in progress
    bool failing = false;
};

Mode mode = Mode::Log;
long target = 0;
int failErrno = 0;
pid_t root = 0;
bool rootExeced = false;
long sequence = 0;
std::string anchorName;
std::string anchorPath;
long anchor = -1;  // number of the anchor call once seen
int logFd = -1;
std::map<pid_t, Tracee> tracees;

void logLine(const std::string& line) {
    std::string text = line + "\n";
    if (write(logFd, text.data(), text.size()) < 0) {
    }
}

const char* role(pid_t pid, const Tracee& t) {
    if (pid == root) return "command";
    return t.worker ? "worker" : "child";
}

std::string readString(pid_t pid, unsigned long address) {
    std::string out;
    char buffer[256];
    while (address != 0 && out.size() < 4096) {
        // Never across a page end: the next page may be unmapped.
        size_t size = 4096 - (address % 4096);
        if (size > sizeof buffer) size = sizeof buffer;
        struct iovec local = {buffer, size};
        struct iovec remote = {reinterpret_cast<void*>(address), size};
        const ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n <= 0) break;
        const void* end = memchr(buffer, '\0', static_cast<size_t>(n));
        if (end != nullptr) {
            out.append(buffer, static_cast<const char*>(end) - buffer);
            return out;
        }
        out.append(buffer, static_cast<size_t>(n));
        address += static_cast<unsigned long>(n);
    }
    return out;
}

std::string fdTarget(pid_t pid, long fd) {
    if (fd == AT_FDCWD) return "AT_FDCWD";
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/fd/%ld", pid, fd);
    char buffer[512];
    const ssize_t n = readlink(link, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "fd" + std::to_string(fd) + "?";
}

// Which arguments name files: 's' a string, 'f' a descriptor, '-' neither.
const char* argumentKinds(long nr) {
    switch (nr) {
        case SYS_open: case SYS_creat: case SYS_stat: case SYS_lstat: case SYS_access:
        case SYS_unlink: case SYS_mkdir: case SYS_rmdir: case SYS_chdir: case SYS_execve:
        case SYS_readlink: case SYS_truncate: case SYS_umount2: case SYS_statfs:
            return "s";
        case SYS_rename: case SYS_link: case SYS_symlink:
            return "ss";
        case SYS_mount:
            return "sss";
        case SYS_openat: case SYS_newfstatat: case SYS_unlinkat: case SYS_faccessat:
        case SYS_faccessat2: case SYS_mkdirat: case SYS_readlinkat: case SYS_statx:
        case SYS_execveat:
            return "fs";
        case SYS_renameat: case SYS_renameat2: case SYS_linkat:
            return "fsfs";
        case SYS_read: case SYS_write: case SYS_close: case SYS_fsync: case SYS_fdatasync:
        case SYS_fstat: case SYS_flock: case SYS_lseek: case SYS_ftruncate: case SYS_fcntl:
        case SYS_dup: case SYS_dup2: case SYS_dup3: case SYS_ioctl: case SYS_fadvise64:
        case SYS_pread64: case SYS_pwrite64: case SYS_getdents64: case SYS_fchdir:
        case SYS_readv: case SYS_writev: case SYS_bind: case SYS_fstatfs:
            return "f";
        default:
            return "";
    }
}

std::string callName(long nr) {
    char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, static_cast<int>(nr));
    std::string out = name != nullptr ? name : "sys_" + std::to_string(nr);
    free(name);
    return out;
}

std::string describe(pid_t pid, const struct __ptrace_syscall_info& info) {
    const long nr = static_cast<long>(info.entry.nr);
    std::string paths;
    const char* kinds = argumentKinds(nr);
    for (int i = 0; kinds[i] != '\0'; ++i) {
        if (i > 0) paths += "|";
        const auto arg = info.entry.args[i];
        paths += kinds[i] == 's' ? readString(pid, static_cast<unsigned long>(arg))
                                 : fdTarget(pid, static_cast<long>(static_cast<int>(arg)));
    }
    for (char& c : paths) {
        if (c == ' ' || c == '\n') c = '_';
    }
    return callName(nr) + " " + (paths.empty() ? "-" : paths);
}

void resume(pid_t pid, int signal = 0) { ptrace(PTRACE_SYSCALL, pid, 0, signal); }

void release(pid_t parent) {
    for (auto& [pid, t] : tracees) {
        if (t.parent != parent || !t.held) continue;
        t.held = false;
        if (t.stopped) resume(pid);
    }
}

void killAll() {
    for (const auto& entry : tracees) kill(entry.first, SIGKILL);
}

bool mayWait(long nr) { return nr == SYS_wait4 || nr == SYS_waitid || nr == SYS_read; }

#if defined(__x86_64__)
void skipCall(pid_t pid) {
    ptrace(PTRACE_POKEUSER, pid, offsetof(struct user_regs_struct, orig_rax), -1L);
}
void setResult(pid_t pid, long value) {
    ptrace(PTRACE_POKEUSER, pid, offsetof(struct user_regs_struct, rax), value);
}
#else
// Fault injection is only wired for the x86-64 clock; elsewhere call N runs.
void skipCall(pid_t) {}
void setResult(pid_t, long) {}
#endif

void onSyscall(pid_t pid, Tracee& t) {
    struct __ptrace_syscall_info info;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return resume(pid);
    if (pid == root && !rootExeced) return resume(pid);
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        const long nr = static_cast<long>(info.entry.nr);
        const long number = ++sequence;
        if (nr == SYS_setsid && pid != root) t.worker = true;
        const std::string call = describe(pid, info);
        t.pending = std::to_string(number) + " " + std::to_string(pid) + " " + role(pid, t) + " " + call;
        if (anchor < 0 && !anchorName.empty() && call.compare(0, anchorName.size() + 1, anchorName + " ") == 0 &&
            call.size() >= anchorPath.size() &&
            call.compare(call.size() - anchorPath.size(), anchorPath.size(), anchorPath) == 0) {
            anchor = number;
        }
        const bool hit = anchorName.empty() ? number == target : anchor >= 0 && number - anchor == target;
        if (mode == Mode::Kill && hit) {
            logLine(t.pending + " = killed");
            logLine("kill " + std::to_string(number));
            killAll();
            return;
        }
        if (mode == Mode::Fail && hit) {
            skipCall(pid);
            t.failing = true;
            logLine("fail " + std::to_string(number) + " " + std::to_string(failErrno));
        }
        if (nr == SYS_exit_group || nr == SYS_exit || nr == SYS_execve) {
            logLine(t.pending + " = ?");
            t.pending.clear();
        }
        if (mayWait(nr) || nr == SYS_exit_group || nr == SYS_exit) release(pid);
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
        if (t.failing) {
            setResult(pid, -failErrno);
            t.failing = false;
            info.exit.rval = -failErrno;
        }
        if (!t.pending.empty()) logLine(t.pending + " = " + std::to_string(info.exit.rval));
        t.pending.clear();
    }
    resume(pid);
}

void onStop(pid_t pid, int status) {
    Tracee& t = tracees[pid];
    const int signal = WSTOPSIG(status);
    const int event = status >> 16;
    if (pid != root && !t.seen) {
        // A new child's first stop; it may come before its parent's fork
        // event, which then finds it stopped and holds it.
        t.seen = true;
        if (t.parent == 0 || t.held) {
            t.held = true;
            t.stopped = true;
            return;
        }
        return resume(pid);
    }
    if (signal == (SIGTRAP | 0x80)) return onSyscall(pid, t);
    if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE) {
        unsigned long child = 0;
        ptrace(PTRACE_GETEVENTMSG, pid, 0, &child);
        Tracee& c = tracees[static_cast<pid_t>(child)];
        c.parent = pid;
        c.held = true;
        return resume(pid);
    }
    if (event == PTRACE_EVENT_EXEC) {
        if (pid == root && !rootExeced) {
            rootExeced = true;
            return resume(pid);
        }
        // setprop, getprop: no longer ours to count.
        ptrace(PTRACE_DETACH, pid, 0, 0);
        tracees.erase(pid);
        return;
    }
    if (event == PTRACE_EVENT_STOP) return resume(pid);
    resume(pid, signal);
}

int trace() {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, __WALL);
        if (pid < 0) return errno == ECHILD ? 0 : 1;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            auto found = tracees.find(pid);
            if (found == tracees.end()) continue;
            const bool exited = WIFEXITED(status);
            logLine(std::string(exited ? "exit " : "signal ") + std::to_string(pid) + " " +
                    role(pid, found->second) + " " +
                    std::to_string(exited ? WEXITSTATUS(status) : WTERMSIG(status)));
            tracees.erase(found);
            release(pid);
            if (tracees.empty()) return 0;
            continue;
        }
        if (WIFSTOPPED(status)) onStop(pid, status);
    }
}

bool readPlan(const std::string& name) {
    const std::string path = PLAN_DIR + name;
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr) return false;
    char word[16] = {0};
    char line[512] = {0};
    long n = 0;
    int e = 0;
    char after[16] = {0};
    char call[32] = {0};
    char last[400] = {0};
    int fields = 0;
    if (fgets(line, sizeof line, f) != nullptr) {
        fields = sscanf(line, "%15s %ld %d", word, &n, &e);
        const char* tail = strstr(line, " after ");
        if (tail != nullptr && sscanf(tail, "%15s %31s %399s", after, call, last) == 3) {
            anchorName = call;
            anchorPath = last;
        }
    }
    fclose(f);
    if (fields >= 2 && strcmp(word, "kill") == 0) {
        mode = Mode::Kill;
        target = n;
    } else if (fields >= 3 && strcmp(word, "fail") == 0) {
        mode = Mode::Fail;
        target = n;
        failErrno = e;
    } else {
        mode = Mode::Log;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 127;
    std::string name = strrchr(argv[1], '/') != nullptr ? strrchr(argv[1], '/') + 1 : argv[1];
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".real") == 0) name.resize(name.size() - 5);
    if (!readPlan(name)) {
        execv(argv[1], argv + 1);
        return 127;
    }

    int ready[2];
    if (pipe(ready) != 0) return 127;
    root = getpid();
    const pid_t tracer = fork();
    if (tracer < 0) return 127;
    if (tracer == 0) {
        // Nothing of the caller's may stay open here: a pipe the caller
        // reads to its end would wait for us.
        const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                             PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
        const bool seized = ptrace(PTRACE_SEIZE, root, 0, options) == 0;
        if (write(ready[1], seized ? "y" : "n", 1) < 0) {
        }
        for (int fd = 0; fd < 1024; ++fd) close(fd);
        if (!seized) _exit(1);
        if (chdir("/") != 0) {
        }
        const std::string log = PLAN_DIR + name + ".log";
        logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        std::string head = "run " + std::to_string(root);
        for (int i = 1; i < argc; ++i) head += std::string(" ") + argv[i];
        logLine(head);
        tracees[root].seen = true;
        _exit(trace());
    }
    close(ready[1]);
    char answer = 'n';
    if (read(ready[0], &answer, 1) != 1 || answer != 'y') return 127;
    close(ready[0]);
    execv(argv[1], argv + 1);
    return 127;
}
