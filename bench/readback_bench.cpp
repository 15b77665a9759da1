// Times the resource readback comparison with the install guard's own
// template over two files, or a partition and an image.
//
//   tavrine-readback-bench [PARTITION IMAGE] [ROUNDS]
//
// Without paths it writes two identical 8 MiB files into a fresh directory
// under $TMPDIR (or /tmp) and removes them afterwards, and the headline is
// the whole process: tavrine-readback-cmp (next to this program) against
// cmp of the same files, hot cache, in interleaved rounds. Then, with or
// without paths, the call in-process: each round times a cold readback
// (cached pages of both dropped first, as the guard drops the partition's)
// and a warm one, and prints min, median and max per kind.
#include "read_exactly.h"
#include "readback.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ctime>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t SPAN = 8388608;
constexpr int DEFAULT_ROUNDS = 5;
constexpr int PROCESS_ROUNDS = 60;
constexpr const char* CMP = "/usr/bin/cmp";

void dropCache(int fd) {
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ioctl(fd, BLKFLSBUF, 0);
}

// One readback; milliseconds taken, negative when the comparison failed.
double timedReadback(const char* partitionPath, const char* imagePath, std::uint32_t size,
                     bool cold) {
    const int partition = open(partitionPath, O_RDONLY | O_CLOEXEC);
    const int image = open(imagePath, O_RDONLY | O_CLOEXEC);
    if (partition < 0 || image < 0) {
        if (partition >= 0) close(partition);
        if (image >= 0) close(image);
        return -1;
    }
    if (cold) {
        dropCache(partition);
        dropCache(image);
    }
    const auto start = std::chrono::steady_clock::now();
    const bool same = tavrine::verifyMx714ResourceReadback(
        size, [partition](unsigned char* b, std::uint32_t n) { return readExactly(partition, b, n); },
        [image](unsigned char* b, std::uint32_t n) { return readExactly(image, b, n); });
    const auto stop = std::chrono::steady_clock::now();
    close(partition);
    close(image);
    const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
    return same ? ms : -1;
}

bool writeSample(const std::string& path, const std::vector<unsigned char>& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                    fsync(fd) == 0;
    close(fd);
    return ok;
}

// Milliseconds of one fork, exec and wait of the program; negative unless it
// ended with status 0 (the files compared equal).
double timedProcess(const std::string& program, const std::string& a, const std::string& b) {
    timespec start{}, stop{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), a.c_str(), b.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    clock_gettime(CLOCK_MONOTONIC, &stop);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return static_cast<double>(stop.tv_sec - start.tv_sec) * 1e3 +
           static_cast<double>(stop.tv_nsec - start.tv_nsec) / 1e6;
}

double median(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The headline: whole processes, cmp and ours alternating, both files hot.
bool compareProcesses(const std::string& partition, const std::string& image) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    std::string ours(self, static_cast<size_t>(n));
    ours = ours.substr(0, ours.rfind('/') + 1) + "tavrine-readback-cmp";
    std::vector<double> cmp, readback;
    for (int i = -2; i < PROCESS_ROUNDS; ++i) {  // two warm-up rounds
        const double a = timedProcess(CMP, partition, image);
        const double b = timedProcess(ours, partition, image);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "%s or %s did not report the files equal\n", CMP, ours.c_str());
            return false;
        }
        if (i < 0) continue;
        cmp.push_back(a);
        readback.push_back(b);
    }
    const double ratio = median(readback) / median(cmp);
    std::printf("readback, whole process, two identical 8 MiB files, hot cache, %d interleaved rounds\n",
                PROCESS_ROUNDS);
    std::printf("  cmp                   median %.3f ms\n", median(cmp));
    std::printf("  tavrine-readback-cmp  median %.3f ms\n", median(readback));
    std::printf("  ratio %.2f, target at most 1.00: %s\n", ratio, ratio <= 1.0 ? "met" : "MISSED");
    return true;
}

void report(const char* kind, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("%-5s rounds=%zu min=%.2f ms median=%.2f ms max=%.2f ms (%.0f MiB/s of partition at median)\n",
                kind, ms.size(), ms.front(), median, ms.back(), 8.0 / (median / 1000.0));
}

}  // namespace

int main(int argc, char** argv) {
    std::string partition, image, directory;
    int rounds = DEFAULT_ROUNDS;
    if (argc == 3 || argc == 4) {
        partition = argv[1];
        image = argv[2];
        if (argc == 4) rounds = std::atoi(argv[3]);
    } else if (argc <= 2) {
        if (argc == 2) rounds = std::atoi(argv[1]);
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/readback-bench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        directory = pattern;
        partition = directory + "/partition";
        image = directory + "/image";
        std::vector<unsigned char> bytes(SPAN);
        std::uint32_t x = 2463534242u;
        for (auto& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x);
        }
        if (!writeSample(partition, bytes) || !writeSample(image, bytes)) {
            std::perror("write sample");
            return 1;
        }
    } else {
        std::fprintf(stderr, "usage: %s [PARTITION IMAGE] [ROUNDS]\n", argv[0]);
        return 2;
    }
    if (rounds < 1) rounds = 1;

    struct stat st;
    if (stat(image.c_str(), &st) != 0 || st.st_size < 96 || st.st_size > SPAN) {
        std::fprintf(stderr, "image must be 96 to 8388608 bytes\n");
        return 2;
    }
    const auto size = static_cast<std::uint32_t>(st.st_size);
    int status = 0;
    if (!directory.empty() && !compareProcesses(partition, image)) status = 1;
    std::printf("readback, the call in-process: partition %s, image %s (%u bytes), 8 MiB read per round\n",
                partition.c_str(), image.c_str(), size);

    std::vector<double> cold, warm;
    for (int i = 0; i < rounds && status == 0; ++i) {
        const double c = timedReadback(partition.c_str(), image.c_str(), size, true);
        const double w = timedReadback(partition.c_str(), image.c_str(), size, false);
        if (c < 0 || w < 0) {
            std::fprintf(stderr, "readback did not match (or could not open)\n");
            status = 1;
        }
        cold.push_back(c);
        warm.push_back(w);
    }
    if (status == 0) {
        report("cold", cold);
        report("warm", warm);
    }
    if (!directory.empty()) {
        unlink(partition.c_str());
        unlink(image.c_str());
        rmdir(directory.c_str());
    }
    return status;
}
