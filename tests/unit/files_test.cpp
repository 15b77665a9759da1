// Bounded readers, atomic writers, regular and the store root flush, on
// real files: what a reader of a target sees after every kind of failure,
// and what a planted entry at a read, temporary or target path can do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "support.h"

namespace {

using unit::Entry;
using unit::entryName;
using unit::exists;
using unit::flag;
using unit::plant;
using unit::put;
using unit::slurp;
using unit::VICTIM_BYTES;

constexpr const char* STORE = "/data/tavrine-app";

// Every byte value, zero included, in an order that exposes misplaced pieces.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += item + ";";
    return text;
}

bool needsRoot(Entry entry) { return entry == Entry::foreignOwner || entry == Entry::device; }

// A regular file of our own is the only kind that may be read or reused.
bool usable(Entry entry) { return entry == Entry::regular || entry == Entry::missing; }

// --- bounded readers ---------------------------------------------------------

struct Bound {
    size_t size;
    bool byRead;  // read yields the whole file
    bool byLoad;  // load yields the whole file
};

void PrintTo(const Bound& bound, std::ostream* out) { *out << bound.size << " bytes"; }

class ReadBounds : public unit::Scratch, public testing::WithParamInterface<Bound> {};

TEST_P(ReadBounds, WholeFileOrNothing) {
    const Bound& bound = GetParam();
    const std::string content = pattern(bound.size);
    put(at("f"), content);
    int before = unit::openDescriptors();
    std::string byRead = device::read(at("f").c_str());
    std::string byLoad = device::load(at("f").c_str());
    EXPECT_EQ(byRead.size(), bound.byRead ? bound.size : 0u);
    EXPECT_TRUE(byRead == (bound.byRead ? content : "")) << "read returned other bytes";
    EXPECT_EQ(byLoad.size(), bound.byLoad ? bound.size : 0u);
    EXPECT_TRUE(byLoad == (bound.byLoad ? content : "")) << "load returned other bytes";
    EXPECT_EQ(unit::openDescriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadBounds,
                         testing::Values(Bound{0, false, false}, Bound{1, true, true},
                                         Bound{1024, true, true}, Bound{1025, true, true},
                                         Bound{4095, true, true}, Bound{4096, true, false},
                                         Bound{16383, true, false}, Bound{16384, true, false},
                                         Bound{16385, false, false}, Bound{100000, false, false}),
                         [](const auto& info) {
                             return "bytes" + std::to_string(info.param.size);
                         });

// read, load, openRegular and the source of copy treat every kind of entry
// alike: only a regular file is read, and nothing ever blocks on a FIFO.
class ReadEntries : public unit::Scratch, public testing::WithParamInterface<Entry> {};

TEST_P(ReadEntries, OnlyRegularFilesAreRead) {
    const Entry entry = GetParam();
    if (needsRoot(entry) && geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string path = at("in"), to = at("out");
    int held = plant(entry, path, at("victim"));
    put(to, "old");
    const bool readable =
        entry == Entry::regular || entry == Entry::hardLink || entry == Entry::foreignOwner;
    const std::string content = readable ? slurp(path) : "";

    unit::Child child = unit::inChild([&] {
        int before = unit::openDescriptors();
        std::string byRead = device::read(path.c_str());
        std::string byLoad = device::load(path.c_str());
        int fd = device::openRegular(path.c_str());
        if (fd >= 0) close(fd);
        bool copied = device::copy(path.c_str(), to.c_str());
        return "read=" + byRead + " load=" + byLoad + " open=" + flag(fd >= 0) +
               " copy=" + flag(copied) + " leak=" + flag(unit::openDescriptors() != before);
    });
    if (held >= 0) close(held);

    ASSERT_TRUE(child.finished) << "blocked on a " << entryName(entry);
    const std::string loaded = content.size() < 4096 ? content : "";
    EXPECT_EQ(child.out, "read=" + content + " load=" + loaded + " open=" + flag(readable) +
                             " copy=" + flag(readable) + " leak=0");
    EXPECT_EQ(slurp(to), readable ? content : "old");
    EXPECT_FALSE(exists(to + ".next"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadEntries,
                         testing::Values(Entry::missing, Entry::regular, Entry::symlink,
                                         Entry::dangling, Entry::hardLink, Entry::foreignOwner,
                                         Entry::directory, Entry::fifo, Entry::fifoOpen,
                                         Entry::socket, Entry::device),
                         [](const auto& info) { return entryName(info.param); });

// --- regular -------------------------------------------------------------

class RegularEntries : public unit::Scratch, public testing::WithParamInterface<Entry> {};

TEST_P(RegularEntries, OnlyARegularFileItselfCounts) {
    const Entry entry = GetParam();
    if (needsRoot(entry) && geteuid() != 0) GTEST_SKIP() << "needs root";
    int held = plant(entry, at("e"), at("victim"));
    const bool expected =
        entry == Entry::regular || entry == Entry::hardLink || entry == Entry::foreignOwner;
    EXPECT_EQ(device::regular(at("e").c_str()), expected);
    if (held >= 0) close(held);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RegularEntries,
                         testing::Values(Entry::missing, Entry::regular, Entry::symlink,
                                         Entry::dangling, Entry::hardLink, Entry::foreignOwner,
                                         Entry::directory, Entry::fifo, Entry::socket,
                                         Entry::device),
                         [](const auto& info) { return entryName(info.param); });

// --- atomic writers --------------------------------------------------------

enum class Op { write, save, copy, result };

const char* opName(Op op) {
    static const char* const names[] = {"write", "save", "copy", "result"};
    return names[static_cast<int>(op)];
}

void PrintTo(Op op, std::ostream* out) { *out << opName(op); }

// The writers run in the private root: write, copy and result flush the
// store root, and result has a fixed target inside it.
class Writers : public unit::Sandboxed {
protected:
    std::string target(Op op) const {
        return op == Op::result ? std::string(STORE) + "/result" : at("t.cfg");
    }
    std::string source() const { return at("source"); }

    // Runs the writer in a child (a regression may block on a planted FIFO or
    // loop on a write that returns 0) and reports its outcome and the
    // directories it flushed. The copy source must be in place already.
    std::string run(Op op, const std::string& content) {
        const std::string path = target(op);
        unit::Child child = unit::inChild([&] {
            int before = unit::openDescriptors();
            bool ok = false;
            switch (op) {
                case Op::write: ok = device::write(path.c_str(), content); break;
                case Op::save: ok = device::save(path.c_str(), content); break;
                case Op::copy: ok = device::copy(source().c_str(), path.c_str()); break;
                case Op::result:
                    device::result(content.c_str());
                    ok = slurp(path) == content;
                    break;
            }
            return "ok=" + flag(ok) + " leak=" + flag(unit::openDescriptors() != before) +
                   " flushed=" + joined(unit::flushedDirectories());
        });
        EXPECT_TRUE(child.finished) << opName(op) << " blocked or crashed";
        return child.out;
    }

    // The directory that a successful replacement of target(op) flushes.
    std::string flushedOnSuccess(Op op) const { return op == Op::save ? dir : STORE; }
};

struct Replacement {
    Op op;
    std::string content;
};

void PrintTo(const Replacement& row, std::ostream* out) {
    *out << opName(row.op) << " of " << row.content.size() << " bytes";
}

class Replace : public Writers, public testing::WithParamInterface<Replacement> {};

TEST_P(Replace, TargetHoldsExactlyTheNewBytes) {
    const Op op = GetParam().op;
    const std::string& content = GetParam().content;
    const std::string path = target(op);
    put(path, "old content", 0644);
    if (op == Op::copy) put(source(), content, 0644);

    EXPECT_EQ(run(op, content), "ok=1 leak=0 flushed=" + flushedOnSuccess(op) + ";");
    EXPECT_TRUE(slurp(path) == content) << "target has " << slurp(path).size() << " bytes";
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "a new temporary file is created with mode 0600";
    EXPECT_FALSE(exists(path + ".next"));
    if (op == Op::copy) {
        EXPECT_TRUE(slurp(source()) == content) << "copy must leave its source";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, Replace,
    testing::Values(Replacement{Op::write, ""}, Replacement{Op::write, pattern(20000)},
                    Replacement{Op::save, ""}, Replacement{Op::save, pattern(20000)},
                    Replacement{Op::copy, ""}, Replacement{Op::copy, pattern(8192)},
                    Replacement{Op::copy, pattern(20000)}, Replacement{Op::result, "pending"},
                    Replacement{Op::result, "rolled_back"}),
    [](const auto& info) {
        return std::string(opName(info.param.op)) + "_bytes" +
               std::to_string(info.param.content.size());
    });

// Whatever stands at the temporary path: a stale file of our own is
// truncated and reused; anything else (a link that would redirect or
// truncate another file, a file someone else could rewrite, a FIFO that
// would block) fails the writer without touching the target or the victim.
// copy removes such an entry; the others leave it.
class StaleTemporary : public Writers, public testing::WithParamInterface<std::tuple<Op, Entry>> {};

TEST_P(StaleTemporary, OnlyOurOwnRegularFileIsReused) {
    const Op op = std::get<0>(GetParam());
    const Entry entry = std::get<1>(GetParam());
    const std::string path = target(op), temporary = path + ".next", victim = at("victim");
    const std::string content = op == Op::result ? "confirmed" : "fresh";
    put(path, "old");
    if (op == Op::copy) put(source(), content);
    int held = plant(entry, temporary, victim);

    std::string out = run(op, content);
    if (entry == Entry::fifoOpen) {
        char waiting[64];
        ssize_t n = ::read(held, waiting, sizeof waiting);
        EXPECT_EQ(std::string(waiting, n > 0 ? n : 0), "7\n")
            << "nothing may be written through a FIFO";
    }
    if (held >= 0) close(held);

    if (usable(entry)) {
        EXPECT_EQ(out, "ok=1 leak=0 flushed=" + flushedOnSuccess(op) + ";");
        EXPECT_EQ(slurp(path), content) << "a stale temporary file must be truncated";
        EXPECT_FALSE(exists(temporary));
        return;
    }
    EXPECT_EQ(out.substr(0, 11), "ok=0 leak=0") << out;
    EXPECT_EQ(slurp(path), "old");
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the planted entry must never be renamed onto the target";
    EXPECT_EQ(slurp(victim), VICTIM_BYTES);
    if (entry == Entry::foreignOwner && exists(temporary)) {
        EXPECT_EQ(slurp(temporary), VICTIM_BYTES);
    }
    if (op != Op::copy) {
        EXPECT_TRUE(exists(temporary)) << "only copy removes a stale entry";
    } else if (entry != Entry::directory) {
        EXPECT_FALSE(exists(temporary)) << "copy removes a stale entry";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, StaleTemporary,
    testing::Combine(testing::Values(Op::write, Op::save, Op::copy, Op::result),
                     testing::Values(Entry::regular, Entry::symlink, Entry::dangling,
                                     Entry::hardLink, Entry::foreignOwner, Entry::directory,
                                     Entry::fifo, Entry::fifoOpen, Entry::socket, Entry::device)),
    [](const auto& info) {
        return std::string(opName(std::get<0>(info.param))) + "_" +
               entryName(std::get<1>(info.param));
    });

// Each injected failure leaves a reader of the target the old content; the
// table gives what else each writer does: its result, whether the temporary
// file stays, and which directories it flushes ("STORE" the store root,
// "DIR" the target's own directory).
enum class Fault { writeFails, writeZero, shortWrites, fsyncFails, renameFails };

const char* faultName(Fault fault) {
    static const char* const names[] = {"writeFails", "writeZero", "shortWrites", "fsyncFails",
                                        "renameFails"};
    return names[static_cast<int>(fault)];
}

struct Failure {
    Op op;
    Fault fault;
    bool replaced;
    bool temporaryLeft;
    const char* flushed;
};

void PrintTo(const Failure& row, std::ostream* out) {
    *out << opName(row.op) << " with " << faultName(row.fault);
}

class Failures : public Writers, public testing::WithParamInterface<Failure> {};

TEST_P(Failures, ReaderSeesOldOrWholeNewContent) {
    const Failure& row = GetParam();
    const std::string path = target(row.op), temporary = path + ".next";
    const std::string content = row.op == Op::result ? "confirmed" : pattern(5000);
    if (row.fault == Fault::renameFails) {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        put(path + "/kept", "kept");
    } else {
        put(path, "old");
    }
    if (row.op == Op::copy) put(source(), content);
    unit::Faults& armed = unit::faults();
    armed.writeSuffix = ".next";
    if (row.fault == Fault::writeFails) armed.write = unit::WriteFault::fail;
    if (row.fault == Fault::writeZero) armed.write = unit::WriteFault::zero;
    if (row.fault == Fault::shortWrites) armed.write = unit::WriteFault::shortPieces;
    if (row.fault == Fault::fsyncFails) armed.fsyncSuffix = ".next";

    std::string flushed = row.flushed;
    for (auto [token, value] :
         {std::pair<std::string, std::string>{"STORE", STORE}, {"DIR", dir}}) {
        size_t at = flushed.find(token);
        if (at != std::string::npos) flushed.replace(at, token.size(), value);
    }
    std::string out = run(row.op, content);
    unit::clearFaults();

    if (row.op == Op::result) {  // reports nothing: judged by the file below
        EXPECT_EQ(out.substr(out.find(' ') + 1), "leak=0 flushed=" + flushed);
    } else {
        EXPECT_EQ(out, "ok=" + flag(row.replaced) + " leak=0 flushed=" + flushed);
    }
    if (row.fault == Fault::renameFails) {
        EXPECT_EQ(slurp(path + "/kept"), "kept");
    } else {
        EXPECT_TRUE(slurp(path) == (row.replaced ? content : "old"));
    }
    EXPECT_EQ(exists(temporary), row.temporaryLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Injected, Failures,
    testing::Values(Failure{Op::write, Fault::writeFails, false, true, ""},
                    Failure{Op::write, Fault::writeZero, false, true, ""},
                    Failure{Op::write, Fault::shortWrites, true, false, "STORE;"},
                    Failure{Op::write, Fault::fsyncFails, false, true, "STORE;"},
                    Failure{Op::write, Fault::renameFails, false, true, "STORE;"},
                    Failure{Op::save, Fault::writeFails, false, true, ""},
                    Failure{Op::save, Fault::writeZero, false, true, ""},
                    Failure{Op::save, Fault::shortWrites, true, false, "DIR;"},
                    Failure{Op::save, Fault::fsyncFails, false, true, ""},
                    Failure{Op::save, Fault::renameFails, false, true, ""},
                    Failure{Op::copy, Fault::writeFails, false, false, ""},
                    Failure{Op::copy, Fault::writeZero, false, false, ""},
                    Failure{Op::copy, Fault::shortWrites, true, false, "STORE;"},
                    Failure{Op::copy, Fault::fsyncFails, false, false, ""},
                    Failure{Op::copy, Fault::renameFails, false, false, ""},
                    Failure{Op::result, Fault::writeFails, false, true, ""},
                    Failure{Op::result, Fault::writeZero, false, true, ""},
                    // the state word goes out in one call; a short one keeps the old state
                    Failure{Op::result, Fault::shortWrites, false, true, ""},
                    Failure{Op::result, Fault::fsyncFails, false, true, ""},
                    Failure{Op::result, Fault::renameFails, false, true, "STORE;"}),
    [](const auto& info) {
        return std::string(opName(info.param.op)) + "_" + faultName(info.param.fault);
    });

TEST_F(Writers, WriteSucceedsWithoutAStoreRoot) {
    unit::removeTree(STORE);
    EXPECT_EQ(run(Op::write, "x"), "ok=1 leak=0 flushed=");
    EXPECT_EQ(slurp(target(Op::write)), "x");
}

TEST_F(Writers, SaveOfAPathWithoutDirectory) {
    int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_TRUE(device::save("plain.cfg", "x"));
    EXPECT_EQ(slurp("plain.cfg"), "x");
    EXPECT_EQ(fchdir(back), 0);
    close(back);
}

TEST_F(Writers, CopyRefusesATemporaryPathLongerThan255Characters) {
    // Cut to 255 characters, the temporary path of a longer target would name
    // some other file, which the copy would truncate and move: refused.
    put(source(), "new");
    const std::string fits = at(std::string(249 - dir.size(), 'f'));
    const std::string tooLong = at(std::string(250 - dir.size(), 'n'));
    ASSERT_EQ((fits + ".next").size(), 255u);
    put(tooLong, "old");
    const std::string cut = (tooLong + ".next").substr(0, 255);
    put(cut, "other");

    EXPECT_FALSE(device::copy(source().c_str(), tooLong.c_str()));
    EXPECT_EQ(slurp(tooLong), "old");
    EXPECT_EQ(slurp(cut), "other");
    EXPECT_TRUE(device::copy(source().c_str(), fits.c_str()));
    EXPECT_EQ(slurp(fits), "new");
}

TEST_F(Writers, SyncRootFlushesTheStoreRootOnly) {
    device::syncRoot();
    EXPECT_EQ(joined(unit::flushedDirectories()), std::string(STORE) + ";");
    unit::clearFaults();
    unit::removeTree(STORE);
    int before = unit::openDescriptors();
    device::syncRoot();
    EXPECT_TRUE(unit::flushedDirectories().empty());
    EXPECT_EQ(unit::openDescriptors(), before);
}

}  // namespace
