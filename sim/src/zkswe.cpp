// The EasyUI host `zkswe` on the simulated clock. Started by "ctl.start
// zkswe": reads "/tmp/EasyUI.cfg", loads the library that "startupLibPath"
// names, checks "resPath", calls onEasyUIInit and onStartupApp, then runs
// until "ctl.stop zkswe" sends SIGTERM, when it calls onEasyUIDeinit and
// exits. Every step is one event, so a test sees which application ran.
#include "simcore.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* ACTOR = "zkswe";
constexpr const char* START_CONFIG = "/tmp/EasyUI.cfg";

using InitHook = int (*)();
using DeinitHook = void (*)();
using StartHook = int (*)();

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t ticks = 0;

void onTerm(int) { stopRequested = 1; }
void onTick(int) { ticks = ticks + 1; }

// A host with a timer whose handler lacks SA_RESTART: every wait inside the
// hook may return EINTR. Armed only when scripted.
bool armTicks(int milliseconds) {
    if (milliseconds <= 0) return false;
    struct sigaction sa {};
    sa.sa_handler = onTick;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval every {};
    every.it_interval.tv_usec = milliseconds * 1000;
    every.it_value = every.it_interval;
    setitimer(ITIMER_REAL, &every, nullptr);
    return true;
}

void disarmTicks() {
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
}

bool stringMember(const nlohmann::json& doc, const char* key, std::string& out) {
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

}  // namespace

int main() {
    // SA_RESTART: a stop request must not break the waits inside the hooks
    // (the boot hook waits for the boot control).
    struct sigaction sa {};
    sa.sa_handler = onTerm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::string text;
    if (!sim::readFile(START_CONFIG, text, 65536)) {
        sim::event(ACTOR, std::string("cannot read ") + START_CONFIG);
        return 1;
    }
    sim::event(ACTOR, std::string("read ") + START_CONFIG + ": " + text);
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    std::string lib, res;
    if (doc.is_discarded() || !doc.is_object() || !stringMember(doc, "startupLibPath", lib) ||
        !stringMember(doc, "resPath", res)) {
        sim::event(ACTOR, "bad start configuration");
        return 1;
    }
    struct stat st {};
    bool resOk = stat(res.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    sim::event(ACTOR, "resPath " + res + (resOk ? " ok" : " missing"));

    void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* err = dlerror();
        sim::event(ACTOR, "cannot load " + lib + ": " + (err ? err : "?"));
        return 1;
    }
    sim::event(ACTOR, "loaded " + lib);
    auto init = reinterpret_cast<InitHook>(dlsym(handle, "onEasyUIInit"));
    auto start = reinterpret_cast<StartHook>(dlsym(handle, "onStartupApp"));
    auto deinit = reinterpret_cast<DeinitHook>(dlsym(handle, "onEasyUIDeinit"));
    if (init == nullptr || start == nullptr || deinit == nullptr) {
        sim::event(ACTOR, std::string("missing hook(s):") + (init ? "" : " onEasyUIInit") +
                              (start ? "" : " onStartupApp") + (deinit ? "" : " onEasyUIDeinit"));
    }

    if (init != nullptr) {
        sim::event(ACTOR, "calling onEasyUIInit");
        const bool ticking = armTicks(sim::faultHostTicks());
        int rc = init();
        if (ticking) disarmTicks();
        sim::event(ACTOR, "onEasyUIInit returned " + std::to_string(rc));
        // A hook must wait for what it started: a child still running, or a
        // zombie, is left to a host that never reaps. Looked at, not reaped.
        siginfo_t info {};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            sim::event(ACTOR, "onEasyUIInit left a child process");
        }
        if (ticking) sim::event(ACTOR, std::to_string(ticks) + " timer signals during onEasyUIInit");
    }
    if (start != nullptr && !stopRequested) {
        int rc = start();
        sim::event(ACTOR, "onStartupApp returned " + std::to_string(rc));
    }

    // Wait for the stop; SIGTERM is blocked only around the test of the
    // flag, so children forked by the hooks never inherit a blocked mask.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGINT);
    sigprocmask(SIG_BLOCK, &term, &old);
    while (!stopRequested) sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, nullptr);

    sim::event(ACTOR, "stop requested");
    if (deinit != nullptr) {
        deinit();
        sim::event(ACTOR, "onEasyUIDeinit returned");
    }
    return 0;
}
