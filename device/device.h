// Device services shared by every Tavrine program: the property service
// runners, bounded readers, atomic writers, the single-instance lock and
// detached worker patterns, and the app configuration rules.
//
// Nothing here prints, throws or keeps state between calls; every descriptor
// a call opens is closed before it returns. Paths are fixed by the callers.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace device {

// The app store root, always written with its trailing slash.
constexpr const char* STORE_ROOT = "/data/tavrine-app/";

// First act of every program: SIGCHLD back to its default disposition (an
// inherited SIG_IGN would make waitpid lose our children) and descriptors
// 0, 1 and 2 open, so that no lock, image or pipe descriptor takes one of
// those numbers and is later clobbered by a "/dev/null" duplication.
void saneStart();

// Runs "/bin/setprop" name value and waits for it; true on exit status 0.
bool prop(const char* name, const char* value);

// Runs "/bin/getprop" name; one read of at most 128 bytes of its output,
// trailing carriage returns and line feeds removed; empty on any failure.
std::string property(const char* name);

// The whole regular file up to 16,384 bytes; otherwise the empty text.
std::string read(const char* path);

// The whole regular file of 1 to 4,095 bytes; otherwise the empty text.
std::string load(const char* path);

// Atomic replacement through path + ".next"; flushes the store root.
bool write(const char* path, const std::string& text);

// Atomic replacement through path + ".next"; flushes the directory of path.
bool save(const char* path, const std::string& text);

// Atomic copy of the bytes of from onto to; a failure leaves to untouched
// and no temporary file behind.
bool copy(const char* from, const char* to);

// Replaces "/data/tavrine-app/result" with the state word.
void result(const char* state);

// fsync of the store root directory, outcome ignored.
void syncRoot();

// True for a regular file; a symbolic link is examined itself.
bool regular(const char* path);

// Opens path for reading without following a symbolic link and without
// blocking; the descriptor, or -1 when the open fails or the path is
// anything but a regular file (a FIFO, socket, device or directory).
int openRegular(const char* path);

// Single-instance lock: opens (creating, mode 0600) and takes an exclusive
// flock without waiting. The locked descriptor, or -1 when refused.
int lock(const char* path);

// Worker side of the detached worker pattern, called right after a
// successful fork in the child: setsid, leave the caller's directory, and
// close every descriptor from 0 to 1023 except the count kept ones.
void detach(const int* keep, int count);

// Pause of the given milliseconds, resumed after a signal.
void pause(unsigned milliseconds);

// Strict JSON of the whole text (no comments, nothing after the value);
// throws on any error. A zero byte anywhere is an error, never an end.
nlohmann::json parseJson(const std::string& text);

// App configuration validity: the stock rule (stock set) or the slot rule
// for slot "a" or "b". Never throws.
bool valid(const std::string& text, bool stock);

// Ready text expected from the application that the configuration starts:
// slot letter, line feed, manifest version, line feed; empty when none.
std::string readyText(const std::string& text);

}  // namespace device
