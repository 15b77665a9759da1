// Runs a program inside a powered-up clock on behalf of a test, the way an
// outside caller on the device would: optionally with the property
// workspace descriptor open and announced, and with chosen descriptors
// closed at start.
//   simexec [--workspace] [--close N]... [--cwd DIR] -- PROGRAM ARGS...
#include "simcore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

int main(int argc, char** argv) {
    bool workspace = false;
    std::vector<int> closing;
    const char* cwd = "/";
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--workspace") workspace = true;
        else if (arg == "--close" && i + 1 < argc) closing.push_back(std::atoi(argv[++i]));
        else if (arg == "--cwd" && i + 1 < argc) cwd = argv[++i];
        else {
            std::fprintf(stderr, "simexec: bad argument %s\n", arg.c_str());
            return 125;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "simexec: no program\n");
        return 125;
    }
    if (chdir(cwd) != 0) {
        std::fprintf(stderr, "simexec: chdir %s: %s\n", cwd, std::strerror(errno));
        return 125;
    }
    if (workspace) {
        int fd = open(sim::WORKSPACE_FILE, O_RDWR);
        if (fd < 0 || (fd != sim::WORKSPACE_FD && dup2(fd, sim::WORKSPACE_FD) < 0)) {
            std::fprintf(stderr, "simexec: workspace: %s\n", std::strerror(errno));
            return 125;
        }
        if (fd != sim::WORKSPACE_FD) close(fd);
        std::string env = std::to_string(sim::WORKSPACE_FD) + "," + std::to_string(sim::WORKSPACE_SIZE);
        setenv(sim::WORKSPACE_ENV, env.c_str(), 1);
    }
    for (int fd : closing) close(fd);
    execv(argv[i], argv + i);
    int err = errno;
    std::fprintf(stderr, "simexec: %s: %s\n", argv[i], std::strerror(err));
    return err == ENOENT ? 127 : 126;
}
