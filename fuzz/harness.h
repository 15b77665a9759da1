// Shared scaffolding of the fuzz targets: a private device root where the
// programs' fixed paths exist, the planting of files of every kind at those
// paths, the input layout, and a census of open descriptors.
//
// libFuzzer runs every input in one process, so the root is entered once,
// from LLVMFuzzerInitialize, and each input rebuilds the few files it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace harness {

// A private mount namespace and a chroot into a fresh tmpfs that holds
// "/usr", "/dev" and "/proc" of the host, the working directory at its own
// path (corpus and artifacts are relative to it), "/bin/getprop" copied from
// getprop when given, and empty "/tmp", "/data/tavrine-app" and "/res".
// Aborts when the root cannot be built: fuzzing outside it would reach the
// host's own paths.
void enterPrivateRoot(const char* getprop);

// Empties the given directories of the private root and makes them again.
void reset(std::initializer_list<const char*> dirs);

// What an input puts at a path that a program reads.
enum class Kind { missing, regular, symlink, directory, fifo, hardLink, count };

// Puts an entry of the kind at path; regular files, hard links and the
// targets of symbolic links hold bytes. A link's target lies beside path.
void plant(Kind kind, const std::string& path, const std::string& bytes);

// Regular file of exactly size bytes that begins with head (cut to size).
void sized(const std::string& path, const std::string& head, std::uint64_t size);

// The input cut into fields at every "\n---\n". Field 0 holds control
// characters: control(i, n) maps its byte i to 0 .. n-1, '0' to 0, '1' to 1,
// and so on, so seeds stay readable; a missing byte reads as 0.
struct Input {
    Input(const std::uint8_t* data, std::size_t size);
    unsigned control(std::size_t index, unsigned n) const;
    Kind kind(std::size_t index) const;
    const std::string& field(std::size_t index) const;  // "" when absent
    std::vector<std::string> fields;
};

// The numbers of the descriptors open in this process now.
std::set<int> openDescriptors();

// A command line as exec would hand it over: argument 0, then each argument
// cut at its first zero byte; argv() is terminated by a null pointer.
struct CommandLine {
    CommandLine(const char* program, const std::vector<std::string>& arguments);
    CommandLine(const CommandLine&) = delete;  // argv points into words
    CommandLine& operator=(const CommandLine&) = delete;
    int argc() const { return static_cast<int>(words.size()); }
    char** argv() { return pointers.data(); }
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

// Arguments taken from the lines of text: count of them, "" for lines that
// the text lacks.
std::vector<std::string> lines(const std::string& text, unsigned count);

}  // namespace harness
