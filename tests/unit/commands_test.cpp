// prop and property against fake "/bin/setprop" and "/bin/getprop" in the
// private root: exit statuses, argument lists, and the one bounded read of
// the printed value.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "device.h"
#include "support.h"

namespace {

using unit::flag;
using Args = std::vector<std::string>;

// Whether the child started by the last call was waited for.
bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

enum class Command { present, missing, notExecutable };

void prepare(const char* path, Command command) {
    if (command == Command::missing) {
        ASSERT_EQ(unlink(path), 0);
    }
    if (command == Command::notExecutable) {
        ASSERT_EQ(chmod(path, 0644), 0);
    }
}

struct SetCase {
    const char* label;
    const char* name;
    const char* value;
    const char* exitStatus;  // FAKE_SETPROP_EXIT, or none
    const char* signal;      // FAKE_SETPROP_SIGNAL, or none
    Command command;
    bool expected;
};

void PrintTo(const SetCase& row, std::ostream* out) { *out << row.label; }

class Prop : public unit::Sandboxed, public testing::WithParamInterface<SetCase> {};

TEST_P(Prop, TrueOnlyOnANormalExitWithStatusZero) {
    const SetCase& row = GetParam();
    if (row.exitStatus) setenv("FAKE_SETPROP_EXIT", row.exitStatus, 1);
    if (row.signal) setenv("FAKE_SETPROP_SIGNAL", row.signal, 1);
    prepare("/bin/setprop", row.command);

    unit::Child child = unit::inChild([&] {
        bool ok = device::prop(row.name, row.value);
        return "ok=" + flag(ok) + " reaped=" + flag(noChildLeft()) + "|";
    });
    ASSERT_TRUE(child.finished);
    // Exactly one report: a child whose exec failed ends there and never
    // returns into the caller's code.
    EXPECT_EQ(child.out, "ok=" + flag(row.expected) + " reaped=1|");
    auto made = unit::calls(unit::SETPROP_LOG);
    if (row.command != Command::present) {
        EXPECT_TRUE(made.empty());
        return;
    }
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0], (Args{"setprop", row.name, row.value}));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Prop,
    testing::Values(
        SetCase{"keepAlive", "sys.zkapp.state", "running", nullptr, nullptr, Command::present,
                true},
        SetCase{"emptyValue", "sys.zkupgrade.dir", "", nullptr, nullptr, Command::present, true},
        SetCase{"valuePassedUnchanged", "ctl.start", " zk swe;$X \"q\"\n", nullptr, nullptr,
                Command::present, true},
        SetCase{"statusOne", "ctl.stop", "zkswe", "1", nullptr, Command::present, false},
        SetCase{"status127", "ctl.stop", "zkswe", "127", nullptr, Command::present, false},
        SetCase{"status255", "sys.zkupgrade.flag", "0", "255", nullptr, Command::present, false},
        SetCase{"killed", "ctl.stop", "hciattach", nullptr, "9", Command::present, false},
        SetCase{"terminated", "ctl.stop", "hciattach", nullptr, "15", Command::present, false},
        SetCase{"missing", "ctl.stop", "zkswe", nullptr, nullptr, Command::missing, false},
        SetCase{"notExecutable", "ctl.stop", "zkswe", nullptr, nullptr, Command::notExecutable,
                false}),
    [](const auto& info) { return info.param.label; });

struct GetCase {
    const char* label;
    std::string printed;
    const char* delayMs;     // FAKE_GETPROP_DELAY_MS, or none
    const char* exitStatus;  // FAKE_GETPROP_EXIT, or none
    Command command;
    std::string expected;
};

void PrintTo(const GetCase& row, std::ostream* out) { *out << row.label; }

class Property : public unit::Sandboxed, public testing::WithParamInterface<GetCase> {};

TEST_P(Property, OneReadOf128BytesLessTrailingLineEnds) {
    const GetCase& row = GetParam();
    if (!row.printed.empty()) unit::put(unit::GETPROP_OUT, row.printed);
    if (row.delayMs) setenv("FAKE_GETPROP_DELAY_MS", row.delayMs, 1);
    if (row.exitStatus) setenv("FAKE_GETPROP_EXIT", row.exitStatus, 1);
    prepare("/bin/getprop", row.command);

    unit::Child child = unit::inChild([&] {
        int before = unit::openDescriptors();
        std::string value = device::property("sys.zkupgrade.state");
        return "reaped=" + flag(noChildLeft()) +
               " leak=" + flag(unit::openDescriptors() != before) + "|" + value;
    });
    ASSERT_TRUE(child.finished) << "property must not wait on a command that is still writing";
    EXPECT_EQ(child.out, "reaped=1 leak=0|" + row.expected);
    auto made = unit::calls(unit::GETPROP_LOG);
    if (row.command == Command::present) {
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0], (Args{"getprop", "sys.zkupgrade.state"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Property,
    testing::Values(GetCase{"minusOneCrLf", "-1\r\n", nullptr, nullptr, Command::present, "-1"},
                    GetCase{"zeroLfCrLf", "0\n\r\n", nullptr, nullptr, Command::present, "0"},
                    GetCase{"onlyLineFeed", "\n", nullptr, nullptr, Command::present, ""},
                    GetCase{"nothing", "", nullptr, nullptr, Command::present, ""},
                    GetCase{"noLineEnd", "255", nullptr, nullptr, Command::present, "255"},
                    GetCase{"innerCarriageReturnKept", "a\rb\n", nullptr, nullptr, Command::present,
                            "a\rb"},
                    GetCase{"spacesKept", " 7 \n", nullptr, nullptr, Command::present, " 7 "},
                    GetCase{"zeroByteKept",
                            std::string("1\0"
                                        "2\n",
                                        4),
                            nullptr, nullptr, Command::present,
                            std::string("1\0"
                                        "2",
                                        3)},
                    GetCase{"cutAt128", std::string(200, 'x'), nullptr, nullptr, Command::present,
                            std::string(128, 'x')},
                    GetCase{"cutThenTrimmed", std::string(126, 'x') + "\r\nzz", nullptr, nullptr,
                            Command::present, std::string(126, 'x')},
                    // more than a pipe holds: the caller must stop reading and let it end
                    GetCase{"hugeOutput", std::string(100000, 'x'), nullptr, nullptr,
                            Command::present, std::string(128, 'x')},
                    GetCase{"slowCommand", "5\n", "300", nullptr, Command::present, "5"},
                    GetCase{"statusNotExamined", "9\n", nullptr, "3", Command::present, "9"},
                    GetCase{"missing", "", nullptr, nullptr, Command::missing, ""},
                    GetCase{"notExecutable", "1\n", nullptr, nullptr, Command::notExecutable, ""}),
    [](const auto& info) { return info.param.label; });

}  // namespace
