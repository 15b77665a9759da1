// Bounded readers, atomic writers, locks and file tests.
//
// Every open under "/tmp" or the store uses O_NOFOLLOW and O_NONBLOCK: a
// planted symbolic link must not redirect us, and a planted FIFO must never
// block a caller (the boot control's command process blocks the UI host
// thread that waits for it). A read-open that finds anything but a regular
// file counts as unreadable. A ".next" temporary file is reused only when it
// is a plain file of our own with one link, so that O_TRUNC can never empty
// an unrelated file through a planted hard link.
#include "device.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace device {

namespace {

constexpr const char* RESULT_PATH = "/data/tavrine-app/result";
constexpr const char* RESULT_NEXT = "/data/tavrine-app/result.next";
constexpr const char* NEXT_SUFFIX = ".next";
constexpr mode_t FILE_MODE = 0600;
constexpr size_t READ_PIECE = 1024;
constexpr size_t READ_LIMIT = 16384;
constexpr size_t LOAD_BUFFER = 4096;
constexpr size_t COPY_PIECE = 8192;
constexpr size_t COPY_PATH = 256;

// Opens a temporary file for writing, truncated. Refuses anything that is
// not a regular file owned by us with exactly one link; the checks come
// before the truncation so a refused file is never touched.
int openTemp(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, FILE_MODE);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    if (st.st_size != 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes every byte, going on after short writes; false on a write that
// returns 0 or less.
bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void flushDirectory(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Temporary file written, flushed and closed; true when fsync succeeded.
// A failed write leaves the temporary file in place for the next writer.
bool writeTemp(const std::string& temp, const std::string& text, bool& written) {
    written = false;
    int fd = openTemp(temp.c_str());
    if (fd < 0) return false;
    if (!writeAll(fd, text.data(), text.size())) {
        close(fd);
        return false;
    }
    written = true;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

int openRegular(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read(const char* path) {
    int fd = openRegular(path);
    if (fd < 0) return {};
    std::string text;
    char piece[READ_PIECE];
    ssize_t n;
    for (;;) {
        n = ::read(fd, piece, sizeof piece);
        if (n <= 0 || text.size() >= READ_LIMIT) break;
        text.append(piece, static_cast<size_t>(n));
    }
    close(fd);
    // Only a clean end of file yields the text: an error or a stop at the
    // bound must not hand out a prefix.
    return n == 0 ? text : std::string();
}

std::string load(const char* path) {
    int fd = openRegular(path);
    if (fd < 0) return {};
    char buffer[LOAD_BUFFER];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    close(fd);
    if (n <= 0 || static_cast<size_t>(n) >= LOAD_BUFFER) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

bool write(const char* path, const std::string& text) {
    const std::string temp = std::string(path) + NEXT_SUFFIX;
    bool written;
    bool ok = writeTemp(temp, text, written);
    if (!written) return false;
    ok = ok && rename(temp.c_str(), path) == 0;
    // Flushed whatever the rename gave, so a completed rename is durable.
    syncRoot();
    return ok;
}

bool save(const char* path, const std::string& text) {
    const std::string temp = std::string(path) + NEXT_SUFFIX;
    bool written;
    if (!writeTemp(temp, text, written)) return false;
    if (rename(temp.c_str(), path) != 0) return false;
    const std::string target(path);
    const size_t slash = target.rfind('/');
    flushDirectory(slash == std::string::npos ? path : target.substr(0, slash).c_str());
    return true;
}

bool copy(const char* from, const char* to) {
    char temp[COPY_PATH];
    // A cut temporary path would name some other file, which the open would
    // truncate and the rename would move onto the target: refuse instead.
    const int length = snprintf(temp, sizeof temp, "%s%s", to, NEXT_SUFFIX);
    if (length < 0 || static_cast<size_t>(length) >= sizeof temp) return false;

    const int in = openRegular(from);
    const int out = openTemp(temp);
    if (in < 0 || out < 0) {
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        // Also takes away a stale entry (a link, a FIFO) that refused the open.
        unlink(temp);
        return false;
    }

    bool ok = true;
    char piece[COPY_PIECE];
    for (;;) {
        const ssize_t n = ::read(in, piece, sizeof piece);
        if (n == 0) break;
        if (n < 0 || !writeAll(out, piece, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    close(in);
    if (fsync(out) != 0) ok = false;
    close(out);

    if (!ok || rename(temp, to) != 0) {
        unlink(temp);
        return false;
    }
    syncRoot();
    return true;
}

void result(const char* state) {
    const int fd = openTemp(RESULT_NEXT);
    if (fd < 0) return;
    const size_t length = strlen(state);
    if (::write(fd, state, length) != static_cast<ssize_t>(length) || fsync(fd) != 0) {
        close(fd);
        return;
    }
    close(fd);
    rename(RESULT_NEXT, RESULT_PATH);
    syncRoot();
}

void syncRoot() { flushDirectory(STORE_ROOT); }

bool regular(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int lock(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, FILE_MODE);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace device
