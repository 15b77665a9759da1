// Process-level helpers: the sane start, the single-instance lock, the
// detached worker's descriptors and directory, and the pause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <set>

#include "device.h"
#include "support.h"

namespace {

using unit::exists;
using unit::flag;
using unit::put;
using unit::slurp;

std::string openList(int from, int to) {
    std::string list;
    for (int fd = from; fd <= to; ++fd)
        if (fcntl(fd, F_GETFD) != -1) list += std::to_string(fd) + ",";
    return list;
}

long elapsedMs(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// --- saneStart: standard descriptors -----------------------------------------

struct Closed {
    const char* label;
    std::set<int> fds;
};

void PrintTo(const Closed& row, std::ostream* out) { *out << row.label; }

class SaneStartDescriptors : public unit::Scratch, public testing::WithParamInterface<Closed> {};

TEST_P(SaneStartDescriptors, ClosedOnesGetDevNullOthersStay) {
    const std::set<int>& closed = GetParam().fds;
    struct stat null {};
    ASSERT_EQ(stat("/dev/null", &null), 0);
    const std::string stdPath = at("std");
    put(stdPath, "");

    unit::Child child = unit::inChild([&] {
        // Known standard descriptors: one scratch file on 0, 1 and 2.
        int file = open(stdPath.c_str(), O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) dup2(file, fd);
        close(file);
        struct stat mine {};
        fstat(0, &mine);
        for (int fd : closed) close(fd);
        const std::string others = openList(3, 1023);

        device::saneStart();

        std::string report;
        for (int fd = 0; fd <= 2; ++fd) {
            struct stat st {};
            if (fstat(fd, &st) != 0)
                report += "closed ";
            else if (S_ISCHR(st.st_mode) && st.st_rdev == null.st_rdev)
                report += "null ";
            else if (st.st_ino == mine.st_ino && st.st_dev == mine.st_dev)
                report += "kept ";
            else
                report += "other ";
        }
        return report + (openList(3, 1023) == others ? "no-extra" : "extra:" + openList(3, 1023));
    });
    ASSERT_TRUE(child.finished);
    std::string expected;
    for (int fd = 0; fd <= 2; ++fd) expected += closed.count(fd) ? "null " : "kept ";
    EXPECT_EQ(child.out, expected + "no-extra");
}

INSTANTIATE_TEST_SUITE_P(Sets, SaneStartDescriptors,
                         testing::Values(Closed{"none", {}}, Closed{"in", {0}}, Closed{"out", {1}},
                                         Closed{"err", {2}}, Closed{"inAndErr", {0, 2}},
                                         Closed{"all", {0, 1, 2}}),
                         [](const auto& info) { return info.param.label; });

// --- saneStart: an inherited SIGCHLD disposition ----------------------------

struct Disposition {
    const char* label;
    bool ignored;    // the caller starts with SIGCHLD ignored, as after exec from such a parent
    bool saneStart;  // saneStart runs before the prop
    bool expected;
};

void PrintTo(const Disposition& row, std::ostream* out) { *out << row.label; }

class SaneStartChildren : public unit::Sandboxed,
                          public testing::WithParamInterface<Disposition> {};

TEST_P(SaneStartChildren, PropSeesItsChildEnd) {
    const Disposition& row = GetParam();
    unit::Child child = unit::inChild([&] {
        if (row.ignored) signal(SIGCHLD, SIG_IGN);
        if (row.saneStart) device::saneStart();
        return flag(device::prop("sys.zkapp.state", "running"));
    });
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.out, flag(row.expected));
    EXPECT_EQ(unit::calls(unit::SETPROP_LOG).size(), 1u) << "the command itself ran in every case";
}

INSTANTIATE_TEST_SUITE_P(Dispositions, SaneStartChildren,
                         // The last row shows the fault that saneStart repairs: with SIGCHLD
                         // ignored the child is reaped by the kernel and waitpid loses it.
                         testing::Values(Disposition{"inheritedIgnore", true, true, true},
                                         Disposition{"default", false, true, true},
                                         Disposition{"ignoredWithoutSaneStart", true, false,
                                                     false}),
                         [](const auto& info) { return info.param.label; });

// --- single-instance lock ------------------------------------------------

class Lock : public unit::Scratch {};

TEST_F(Lock, OneHolderAtATime) {
    const std::string path = at("switch.lock");
    int first = device::lock(path.c_str());
    ASSERT_GE(first, 0);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);

    // Another process (a second command) is refused at once, and its refused
    // attempt keeps no descriptor.
    unit::Child second = unit::inChild([&] {
        int before = unit::openDescriptors();
        int fd = device::lock(path.c_str());
        return "locked=" + flag(fd >= 0) + " leak=" + flag(unit::openDescriptors() != before);
    });
    ASSERT_TRUE(second.finished) << "a held lock must refuse, never wait";
    EXPECT_EQ(second.out, "locked=0 leak=0");

    close(first);
    int again = device::lock(path.c_str());
    EXPECT_GE(again, 0) << "the lock ends with its holder's descriptor";
    if (again >= 0) close(again);
}

TEST_F(Lock, ExistingLockFileIsNotTruncated) {
    const std::string path = at("install.lock");
    put(path, "keep", 0644);
    int fd = device::lock(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(slurp(path), "keep");
    close(fd);
}

class LockEntries : public unit::Scratch, public testing::WithParamInterface<unit::Entry> {};

TEST_P(LockEntries, PlantedEntryIsRefusedAtOnce) {
    const unit::Entry entry = GetParam();
    const std::string path = at("switch.lock"), victim = at("victim");
    int held = unit::plant(entry, path, victim);

    unit::Child child = unit::inChild([&] {
        int before = unit::openDescriptors();
        int fd = device::lock(path.c_str());
        return "locked=" + flag(fd >= 0) +
               " leak=" + flag(unit::openDescriptors() != before + (fd >= 0));
    });
    if (held >= 0) close(held);
    ASSERT_TRUE(child.finished) << "blocked on a " << unit::entryName(entry);
    EXPECT_EQ(child.out, "locked=0 leak=0");
    if (entry == unit::Entry::dangling) {
        EXPECT_FALSE(exists(victim + "-absent")) << "the lock must not be created through a link";
    } else {
        EXPECT_EQ(slurp(victim), unit::VICTIM_BYTES);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LockEntries,
                         testing::Values(unit::Entry::symlink, unit::Entry::dangling,
                                         unit::Entry::directory, unit::Entry::fifo,
                                         unit::Entry::socket),
                         [](const auto& info) { return unit::entryName(info.param); });

// --- detached worker -------------------------------------------------------

struct Kept {
    const char* label;
    std::vector<int> fds;
};

void PrintTo(const Kept& row, std::ostream* out) { *out << row.label; }

class Detach : public unit::Scratch, public testing::WithParamInterface<Kept> {};

TEST_P(Detach, WorkerKeepsOnlyItsDescriptorsAndLeavesTheDirectory) {
    const std::vector<int>& keep = GetParam().fds;
    const std::string file = at("held");
    put(file, "");

    // The child reports through a descriptor above 1023, which detach leaves
    // alone: an empty report means it was closed.
    unit::Child child = unit::inChild([&] {
        if (chdir(dir.c_str()) != 0) return std::string("no chdir");
        // Above the range too, so that it is no kept number itself.
        int opened = open(file.c_str(), O_RDONLY);
        int source = fcntl(opened, F_DUPFD, 1050);
        close(opened);
        for (int fd : {0, 1, 2, 5, 9, 1000, 1023}) dup2(source, fd);  // kept and not kept alike
        for (int fd : keep) dup2(source, fd);
        close(source);

        device::detach(keep.data(), static_cast<int>(keep.size()));

        char cwd[PATH_MAX] = "";
        if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
        return std::string("cwd=") + cwd + " leader=" + flag(getsid(0) == getpid()) +
               " open=" + openList(0, 1023);
    });
    ASSERT_TRUE(child.finished);
    std::set<int> sorted(keep.begin(), keep.end());
    std::string expected;
    for (int fd : sorted) expected += std::to_string(fd) + ",";
    EXPECT_EQ(child.out, "cwd=/ leader=1 open=" + expected);
}

INSTANTIATE_TEST_SUITE_P(Sets, Detach,
                         testing::Values(Kept{"nothing", {}}, Kept{"lockOnly", {4}},
                                         Kept{"lockImageWorkspace", {3, 7, 1000}},
                                         Kept{"standardNumber", {1, 6}}),
                         [](const auto& info) { return info.param.label; });

// --- pause -------------------------------------------------------------------

TEST(Pause, LastsTheGivenTime) {
    for (unsigned ms : {0u, 120u}) {
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        device::pause(ms);
        long spent = elapsedMs(start);
        EXPECT_GE(spent, static_cast<long>(ms));
        EXPECT_LT(spent, static_cast<long>(ms) + 300);
    }
}

volatile sig_atomic_t interruptions = 0;

TEST(Pause, ResumesAfterASignal) {
    // A handler without SA_RESTART cuts every sleep short; the pause must
    // still last its full time.
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) { interruptions = interruptions + 1; };
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGUSR1;
    timer_t timer{};
    ASSERT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
    itimerspec every{{0, 30000000}, {0, 30000000}};
    timer_settime(timer, 0, &every, nullptr);

    interruptions = 0;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    device::pause(250);
    long spent = elapsedMs(start);
    timer_delete(timer);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GE(interruptions, 3) << "the signals did not arrive; the case proves nothing";
    EXPECT_GE(spent, 250);
    EXPECT_LT(spent, 600);
}

}  // namespace
