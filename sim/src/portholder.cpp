// Holds TCP port 80 of the clock for a number of device seconds, as a
// stray server would; prints "bound" once it holds the port.
#include "simcore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(80);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
        int err = errno;
        sim::event("portholder", std::string("port 80 bind failed: ") + std::strerror(err));
        std::printf("failed %s\n", std::strerror(err));
        return 1;
    }
    sim::event("portholder", "port 80 held for " + std::to_string(seconds) + " s");
    std::printf("bound\n");
    std::fflush(stdout);
    sim::sleepSeconds(seconds);
    close(fd);
    sim::event("portholder", "port 80 released");
    return 0;
}
