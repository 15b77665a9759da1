// Stand-in for the platform upgrader: writes a resource image into the
// flash behind "/dev/block/mtdblock3" and reports through
// "sys.zkupgrade.state": "-1" idle, "255" while writing, "0" when done.
//   upgrader IMAGE [--mode ok|fail|hang|corrupt] [--target PATH]
//                  [--duration SECONDS] [--fail-state VALUE]
// fail: ends with the fail state ("1") and writes nothing; hang: never
// finishes; corrupt: writes the image with one byte flipped, then "0".
// --target writes somewhere else, e.g. straight into the loop device's
// backing file, behind the block device's page cache.
#include "simcore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* ACTOR = "upgrader";
constexpr const char* FLASH = "/dev/block/mtdblock3";
constexpr std::size_t CHUNK = 65536;
constexpr std::size_t FLASH_SIZE = 8388608;

void state(const std::string& value) {
    sim::putProp("sys.zkupgrade.state", value);
    sim::event(ACTOR, "sys.zkupgrade.state = " + sim::shown(value));
}

[[noreturn]] void usage() {
    sim::event(ACTOR, "bad arguments");
    _exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string image, mode = "ok", target = FLASH, failState = "1";
    double duration = 2.0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (arg == "--mode") mode = next();
        else if (arg == "--target") target = next();
        else if (arg == "--duration") duration = std::atof(next().c_str());
        else if (arg == "--fail-state") failState = next();
        else if (image.empty()) image = arg;
        else usage();
    }
    if (image.empty() || (mode != "ok" && mode != "fail" && mode != "hang" && mode != "corrupt")) usage();

    std::string bytes;
    if (!sim::readFile(image, bytes, FLASH_SIZE)) {
        sim::event(ACTOR, "cannot read image " + image);
        state(failState);
        return 1;
    }
    sim::event(ACTOR, "start: " + image + " (" + std::to_string(bytes.size()) + " bytes), mode " + mode +
                          ", target " + target);
    sim::putProp("sys.zkupgrade.flag", "1");
    sim::putProp("sys.zkupgrade.dir", image.substr(0, image.rfind('/') + 1));
    state("255");

    if (mode == "hang") {
        for (;;) pause();
    }
    if (mode == "fail") {
        sim::sleepSeconds(duration);
        state(failState);
        return 1;
    }
    if (mode == "corrupt" && !bytes.empty()) bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0xff);

    int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        sim::event(ACTOR, "cannot open " + target + ": " + std::strerror(errno));
        state(failState);
        return 1;
    }
    std::size_t chunks = (bytes.size() + CHUNK - 1) / CHUNK;
    for (std::size_t off = 0; off < bytes.size(); off += CHUNK) {
        std::size_t len = std::min(CHUNK, bytes.size() - off);
        if (pwrite(fd, bytes.data() + off, len, static_cast<off_t>(off)) != static_cast<ssize_t>(len)) {
            sim::event(ACTOR, std::string("write failed: ") + std::strerror(errno));
            close(fd);
            state(failState);
            return 1;
        }
        sim::sleepSeconds(duration / static_cast<double>(chunks ? chunks : 1));
    }
    fsync(fd);
    close(fd);
    sim::event(ACTOR, "image written" + std::string(mode == "corrupt" ? " (one byte flipped)" : ""));
    state("0");
    return 0;
}
