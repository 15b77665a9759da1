// Sample stock application ("/res/lib/libzkgui.so" on the simulated clock).
// Like the clock's built-in web interface it listens on TCP port 80 while
// it runs, and lets go of the port a moment after it is stopped, so a
// launch that follows meets a port that is still busy for a short while.
#include "simcore.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* ACTOR = "stock-app";
constexpr int PORT = 80;
// How long the port stays bound after the host stopped, device seconds.
constexpr double PORT_LINGER_S = 1.0;

int listener = -1;

}  // namespace

extern "C" int onEasyUIInit(void) {
    sim::event(ACTOR, "init");
    return 0;
}

extern "C" int onStartupApp(void) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 8) != 0) {
        sim::event(ACTOR, std::string("port 80 bind failed: ") + std::strerror(errno));
        if (listener >= 0) close(listener);
        listener = -1;
        return 0;
    }
    sim::event(ACTOR, "port 80 bound");
    return 0;
}

extern "C" void onEasyUIDeinit(void) {
    sim::event(ACTOR, "deinit");
    if (listener < 0) return;
    // The socket outlives the host briefly in a child, as a server's
    // connection teardown would.
    pid_t child = fork();
    if (child == 0) {
        setsid();
        if (chdir("/") != 0) _exit(1);
        sim::sleepSeconds(PORT_LINGER_S);
        close(listener);
        sim::event(ACTOR, "port 80 released");
        _exit(0);
    }
    close(listener);
    listener = -1;
    if (child < 0) sim::event(ACTOR, "port 80 released");
}
