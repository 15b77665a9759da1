// Sample slot application, built once and installed as
// "/data/tavrine-app/<slot>/lib/libzkgui.so". Its behaviour is set per slot
// by the file "sim-behaviour" beside "manifest.json":
//   ready            write the ready text at start (also when the file is missing)
//   ready_after:S    write it S device seconds after start
//   never            run without ever writing it
//   wrong            write the ready text without its final line feed
//   crash            abort at start, taking the host down
// The ready text is the slot letter, a line feed, the manifest's "version"
// and a line feed, written by rename so a reader never sees half of it.
#include "simcore.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>

namespace {

constexpr const char* MARKER = "/tmp/tavrine-ota-ready";
constexpr const char* BEHAVIOUR_FILE = "sim-behaviour";

struct App {
    std::string dir;   // slot directory, with trailing slash
    std::string slot;  // "a" or "b" (or whatever the directory is called)
    std::string actor;
    double delay = 0;
};

App app;

// The slot is where this library lies: <store>/<slot>/lib/libzkgui.so.
void locate() {
    Dl_info info {};
    std::string path = dladdr(reinterpret_cast<void*>(&locate), &info) && info.dli_fname ? info.dli_fname : "";
    auto libDir = path.rfind("/lib/");
    app.dir = libDir == std::string::npos ? "/" : path.substr(0, libDir + 1);
    std::string trimmed = app.dir.substr(0, app.dir.size() - 1);
    app.slot = trimmed.substr(trimmed.rfind('/') + 1);
    app.actor = "app-" + app.slot;
}

std::string version() {
    std::string text;
    if (!sim::readFile(app.dir + "manifest.json", text, 65536)) return {};
    auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return {};
    auto it = doc.find("version");
    return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void writeMarker(const std::string& text) {
    if (sim::writeFileAtomic(MARKER, text))
        sim::event(app.actor, "ready text written: " + text);
    else
        sim::event(app.actor, "cannot write the ready text");
}

void* lateReady(void* arg) {
    auto* text = static_cast<std::string*>(arg);
    sim::sleepSeconds(app.delay);
    writeMarker(*text);
    delete text;
    return nullptr;
}

}  // namespace

extern "C" int onEasyUIInit(void) {
    locate();
    sim::event(app.actor, "init from " + app.dir);
    return 0;
}

extern "C" int onStartupApp(void) {
    if (app.actor.empty()) locate();
    std::string behaviour;
    sim::readFile(app.dir + BEHAVIOUR_FILE, behaviour, 256);
    while (!behaviour.empty() && (behaviour.back() == '\n' || behaviour.back() == ' ')) behaviour.pop_back();
    if (behaviour.empty()) behaviour = "ready";
    std::string ver = version();
    std::string text = app.slot + "\n" + ver + "\n";
    sim::event(app.actor, "started, version " + sim::shown(ver) + ", behaviour " + behaviour);

    if (behaviour == "ready") {
        writeMarker(text);
    } else if (behaviour.rfind("ready_after:", 0) == 0) {
        app.delay = std::atof(behaviour.c_str() + 12);
        pthread_t thread;
        auto* owned = new std::string(text);
        if (pthread_create(&thread, nullptr, lateReady, owned) == 0) {
            pthread_detach(thread);
        } else {
            delete owned;
        }
    } else if (behaviour == "wrong") {
        writeMarker(text.substr(0, text.size() - 1));
    } else if (behaviour == "crash") {
        sim::event(app.actor, "crashing");
        std::abort();
    } else if (behaviour != "never") {
        sim::event(app.actor, "unknown behaviour " + behaviour + ", never ready");
    }
    return 0;
}

extern "C" void onEasyUIDeinit(void) { sim::event(app.actor, "deinit"); }
