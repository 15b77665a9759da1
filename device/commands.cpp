// Property service runners and process set-up: the sane start every program
// begins with, the detached worker's set-up, and the pause.
//
// The platform is reached only by running "/bin/setprop" and "/bin/getprop"
// as children that we always wait for, so no child outlives a call.
#include "device.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace device {

namespace {

constexpr const char* SETPROP = "/bin/setprop";
constexpr const char* GETPROP = "/bin/getprop";
constexpr const char* DEV_NULL = "/dev/null";
constexpr const char* ROOT_DIRECTORY = "/";
constexpr int EXEC_FAILED = 127;
constexpr size_t PROPERTY_BUFFER = 128;
constexpr int LAST_CLOSED_DESCRIPTOR = 1023;

}  // namespace

void saneStart() {
    signal(SIGCHLD, SIG_DFL);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open(DEV_NULL, O_RDWR);
        if (null < 0) continue;
        // The lower numbers are open, so this is normally fd itself.
        if (null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

bool prop(const char* name, const char* value) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        execl(SETPROP, "setprop", name, value, static_cast<char*>(nullptr));
        _exit(EXEC_FAILED);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string property(const char* name) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        // With standard streams closed a pipe end may itself be number 1.
        if (pipeFds[0] != STDOUT_FILENO) close(pipeFds[0]);
        if (pipeFds[1] != STDOUT_FILENO) close(pipeFds[1]);
        execl(GETPROP, "getprop", name, static_cast<char*>(nullptr));
        _exit(EXEC_FAILED);
    }
    close(pipeFds[1]);
    char buffer[PROPERTY_BUFFER];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    close(pipeFds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    if (n <= 0) return {};
    size_t length = static_cast<size_t>(n);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
    return std::string(buffer, length);
}

void detach(const int* keep, int count) {
    setsid();
    // A caller's directory under "/res" would otherwise stay busy for the
    // worker's whole life and block the resource remount.
    if (chdir(ROOT_DIRECTORY) != 0) {
    }
    for (int fd = 0; fd <= LAST_CLOSED_DESCRIPTOR; ++fd) {
        bool kept = false;
        for (int i = 0; i < count; ++i) kept = kept || keep[i] == fd;
        if (!kept) close(fd);
    }
}

void pause(unsigned milliseconds) {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace device
