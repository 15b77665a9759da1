// Shared scaffolding of the device library's unit tests: scratch
// directories, a private device root where the fixed paths exist, children
// with a deadline, and fault injection into write and fsync.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace unit {

// --- private device root -------------------------------------------------

// Called once by main before the tests run: a private mount namespace whose
// root holds "/bin/setprop", "/bin/getprop", "/data/tavrine-app/", "/res/"
// and a fresh "/tmp", none of them visible to the host.
void enterSandbox();
bool sandboxed();
const std::string& sandboxProblem();

// Puts the fixed tree back as enterSandbox left it (fakes in "/bin", empty
// store, "/res" with the stock library, empty "/tmp" and "/fake").
void resetSandbox();

// Where the fake commands record their argument lists and find their output.
constexpr const char* SETPROP_LOG = "/fake/setprop.log";
constexpr const char* GETPROP_LOG = "/fake/getprop.log";
constexpr const char* GETPROP_OUT = "/fake/getprop.out";

// --- files ---------------------------------------------------------------

bool exists(const std::string& path);        // lstat, so a dangling link exists
std::string slurp(const std::string& path);  // whole file, "" when missing
void put(const std::string& path, const std::string& bytes, mode_t mode = 0644);
void removeTree(const std::string& path);
int openDescriptors();  // how many descriptors the process holds now
// Argument lists recorded by a fake command, one vector per call.
std::vector<std::vector<std::string>> calls(const char* log);

std::string flag(bool on);  // "1" or "0", for compact child reports

// What can be found at a path that the library opens. plant puts the entry
// at path, next to a victim file it may point or link to, and returns a
// descriptor the case keeps open while it runs (a FIFO held open both ways
// with bytes waiting in it, a bound socket), or -1. foreignOwner and device
// need root.
enum class Entry {
    missing,
    regular,
    symlink,
    dangling,
    hardLink,
    foreignOwner,
    directory,
    fifo,
    fifoOpen,
    socket,
    device
};
constexpr const char* VICTIM_BYTES = "victim-content";
const char* entryName(Entry entry);
void PrintTo(Entry entry, std::ostream* out);
int plant(Entry entry, const std::string& path, const std::string& victim);

// --- children with a deadline ----------------------------------------------

struct Child {
    bool finished = false;  // ended on its own before the deadline
    std::string out;        // everything the body returned, in every process
};

// Runs body in a forked child and collects what it returns; a child that
// has not ended after timeoutMs is killed, so a blocking regression fails
// instead of hanging the suite.
Child inChild(const std::function<std::string()>& body, int timeoutMs = 3000);

// --- fault injection ---------------------------------------------------------

// The test binary defines write and fsync itself; the statically linked
// library calls these, which pass through unless a fault is armed for a
// descriptor whose path ends with the given suffix.
enum class WriteFault { none, fail, zero, shortPieces };
struct Faults {
    WriteFault write = WriteFault::none;
    std::string writeSuffix;
    std::string fsyncSuffix;  // fsync of a matching path fails with EIO
};
Faults& faults();
void clearFaults();
// Directories among the recorded fsyncs.
std::vector<std::string> flushedDirectories();

// --- fixtures ------------------------------------------------------------

// A fresh scratch directory per case, removed afterwards; an alarm turns a
// hang into a failure.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string at(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

// Cases that need the fixed paths; skipped visibly without the private root.
class Sandboxed : public Scratch {
protected:
    void SetUp() override;
};

}  // namespace unit
