// Shared plumbing of the simulated clock's emulators: the control directory,
// the event log, the property store and the scripted faults.
//
// Everything here runs inside the sandbox, under libfaketime. The event log
// is stamped with the real monotonic clock (a raw system call that
// libfaketime does not intercept) so that host-side tools can put every
// process on one time axis and scale it to device time themselves.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Control directory bound into every sandbox; the host side sees the same
// files in the clock's temporary directory.
constexpr const char* CONTROL_DIR = "/run/sim";
constexpr const char* EVENT_LOG = "/run/sim/events.log";
constexpr const char* PROPS_DIR = "/run/sim/props";
constexpr const char* FAULTS_DIR = "/run/sim/faults";
constexpr const char* SERVICES_DIR = "/run/sim/services";
constexpr const char* WORKSPACE_FILE = "/run/sim/workspace";
// On an ARM clock: the user namespace whose private binfmt_misc runs ARM
// programs through qemu-user. Services join it; absent on a native clock.
constexpr const char* ARM_USERNS = "/run/arm-userns";

// The property workspace handed to services: descriptor number and size
// in the platform's "fd,size" form.
constexpr int WORKSPACE_FD = 10;
constexpr int WORKSPACE_SIZE = 32768;
constexpr const char* WORKSPACE_ENV = "ANDROID_PROPERTY_WORKSPACE";

// Longest property value the platform accepts (PROP_VALUE_MAX less the
// terminating zero); longer values are refused like on the device.
constexpr std::size_t PROP_VALUE_LIMIT = 91;

// Real (unscaled) CLOCK_MONOTONIC in nanoseconds, bypassing libfaketime.
long long realNanos();

// Appends one event line with a single write so that concurrent writers
// never interleave. The text is escaped onto one line.
void event(const std::string& actor, const std::string& text);

// One line for a log: printable text kept, everything else escaped
// (\n, \r, \t, \\, \xHH). Empty or spaced values are quoted.
std::string escape(const std::string& text);
std::string shown(const std::string& value);

// Basename of the executable of a process, "?" when unknown.
std::string exeName(int pid);

// Property store: one file per property under PROPS_DIR. A missing file
// reads as the empty value.
bool validName(const std::string& name);
std::string getProp(const std::string& name);
bool putProp(const std::string& name, const std::string& value);

// Scripted faults, re-read on every call so a test can change them at any
// time from the host side.
bool faultSetpropFails(const std::string& name, const std::string& value);
int faultSetpropHangs(const std::string& name, const std::string& value);  // seconds, 0 = none
bool faultRefusesStop(const std::string& service);
// Milliseconds between the timer signals the host takes during its init
// hook, 0 = none.
int faultHostTicks();

// Small file helpers.
bool readFile(const std::string& path, std::string& out, std::size_t limit = 1 << 20);
bool writeFileAtomic(const std::string& path, const std::string& text, int mode = 0644);
std::vector<std::string> lines(const std::string& text);

// Sleeps for device seconds (scaled by libfaketime), resumed after signals.
void sleepSeconds(double seconds);

}  // namespace sim
