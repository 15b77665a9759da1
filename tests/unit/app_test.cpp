// App configuration rules and ready texts against a store laid out in the
// private root: slot "a" version 1.0, slot "b" version 2.0, and the stock
// library under "/res".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "support.h"

namespace {

using unit::put;

const std::string STOCK = R"({"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"})";
const std::string SLOT_A =
    R"({"startupLibPath":"/data/tavrine-app/a/lib/libzkgui.so","resPath":"/data/tavrine-app/a/ui/"})";
const std::string SLOT_B =
    R"({"startupLibPath":"/data/tavrine-app/b/lib/libzkgui.so","resPath":"/data/tavrine-app/b/ui/"})";
const std::string ZERO(1, '\0');

std::string document(const std::string& library, const std::string& resources) {
    return R"({"startupLibPath":")" + library + R"(","resPath":")" + resources + R"("})";
}

class Store : public unit::Sandboxed {
protected:
    void SetUp() override {
        unit::Sandboxed::SetUp();
        if (IsSkipped()) return;
        for (const char* slot : {"a", "b"}) {
            const std::string root = std::string(device::STORE_ROOT) + slot;
            for (const char* sub : {"", "/lib", "/ui"}) mkdir((root + sub).c_str(), 0755);
            put(root + "/lib/libzkgui.so", std::string("\x7f") + "ELF slot");
        }
        put(manifest("a"), R"({"version":"1.0"})");
        put(manifest("b"), R"({"name":"clock","version":"2.0","build":7})");
    }
    static std::string manifest(const char* slot) {
        return std::string(device::STORE_ROOT) + slot + "/manifest.json";
    }
};

// --- valid -------------------------------------------------------------------

struct Rule {
    const char* label;
    std::string text;
    bool stock;
    bool expected;
};

void PrintTo(const Rule& row, std::ostream* out) { *out << row.label; }

class Valid : public Store, public testing::WithParamInterface<Rule> {};

TEST_P(Valid, ExactDocumentAndARegularLibrary) {
    EXPECT_EQ(device::valid(GetParam().text, GetParam().stock), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Valid,
    testing::Values(
        Rule{"stockByStock", STOCK, true, true}, Rule{"stockBySlot", STOCK, false, false},
        Rule{"slotAByStock", SLOT_A, true, false}, Rule{"slotABySlot", SLOT_A, false, true},
        Rule{"slotBBySlot", SLOT_B, false, true}, Rule{"emptyStock", "", true, false},
        Rule{"emptySlot", "", false, false}, Rule{"array", "[" + STOCK + "]", true, false},
        Rule{"number", "42", true, false}, Rule{"string", R"("/res/lib/libzkgui.so")", true, false},
        Rule{"null", "null", false, false}, Rule{"emptyObject", "{}", true, false},
        Rule{"blockComment", "/* stock */" + STOCK, true, false},
        Rule{"lineComment", "// stock\n" + STOCK, true, false},
        Rule{"trailingGarbage", STOCK + " x", true, false},
        Rule{"twoDocuments", STOCK + STOCK, true, false},
        Rule{"trailingNewline", STOCK + "\n", true, true},
        Rule{"prettyPrinted",
             "{\n  \"resPath\": \"/res/ui/\",\n  \"startupLibPath\": \"/res/lib/libzkgui.so\"\n}\n",
             true, true},
        Rule{
            "extraMembers",
            R"({"name":"x","startupLibPath":"/data/tavrine-app/b/lib/libzkgui.so","resPath":"/data/tavrine-app/b/ui/","n":[1,{}]})",
            false, true},
        // a zero byte ends nothing: the whole text must be one document
        Rule{"zeroAfterStock", STOCK + ZERO, true, false},
        Rule{"zeroThenGarbage", STOCK + ZERO + "junk", true, false},
        Rule{"zeroAfterSlot", SLOT_A + ZERO + "}", false, false},
        Rule{"escapedZeroInPath", document("/res/lib/libzkgui.so\\u0000", "/res/ui/"), true, false},
        Rule{"stockResNoSlash", document("/res/lib/libzkgui.so", "/res/ui"), true, false},
        Rule{"slotResNoSlash",
             document("/data/tavrine-app/a/lib/libzkgui.so", "/data/tavrine-app/a/ui"), false,
             false},
        Rule{"doubledSlash",
             document("/data/tavrine-app//a/lib/libzkgui.so", "/data/tavrine-app/a/ui/"), false,
             false},
        Rule{"dotDot", document("/res/lib/../lib/libzkgui.so", "/res/ui/"), true, false},
        Rule{"upperCase", document("/RES/lib/libzkgui.so", "/res/ui/"), true, false},
        Rule{"libraryAResourcesB",
             document("/data/tavrine-app/a/lib/libzkgui.so", "/data/tavrine-app/b/ui/"), false,
             false},
        Rule{"libraryBResourcesA",
             document("/data/tavrine-app/b/lib/libzkgui.so", "/data/tavrine-app/a/ui/"), false,
             false},
        Rule{"slotC", document("/data/tavrine-app/c/lib/libzkgui.so", "/data/tavrine-app/c/ui/"),
             false, false},
        Rule{"resPathNumber", R"({"startupLibPath":"/res/lib/libzkgui.so","resPath":1})", true,
             false},
        Rule{"resPathMissing", R"({"startupLibPath":"/res/lib/libzkgui.so"})", true, false},
        Rule{"libraryNull", R"({"startupLibPath":null,"resPath":"/res/ui/"})", true, false}),
    [](const auto& info) { return info.param.label; });

// A library that is not a regular file of its own fails the rule, while the
// ready text of the same document still comes from its manifest.
class LibraryEntries : public Store, public testing::WithParamInterface<unit::Entry> {};

TEST_P(LibraryEntries, OnlyARegularLibraryCounts) {
    const unit::Entry entry = GetParam();
    for (const char* library : {"/data/tavrine-app/a/lib/libzkgui.so", "/res/lib/libzkgui.so"}) {
        ASSERT_EQ(unlink(library), 0);
        int held = unit::plant(entry, library, std::string(library) + ".real");
        if (held >= 0) close(held);
    }
    const bool expected = entry == unit::Entry::hardLink || entry == unit::Entry::foreignOwner;
    EXPECT_EQ(device::valid(SLOT_A, false), expected);
    EXPECT_EQ(device::valid(STOCK, true), expected);
    EXPECT_TRUE(device::valid(SLOT_B, false)) << "slot b is untouched";
    EXPECT_EQ(device::readyText(SLOT_A), "a\n1.0\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, LibraryEntries,
                         testing::Values(unit::Entry::missing, unit::Entry::symlink,
                                         unit::Entry::dangling, unit::Entry::hardLink,
                                         unit::Entry::foreignOwner, unit::Entry::directory,
                                         unit::Entry::fifo, unit::Entry::device),
                         [](const auto& info) { return unit::entryName(info.param); });

// --- readyText -------------------------------------------------------------

struct Ready {
    const char* label;
    std::string text;
    const char* manifestA;  // replaces slot a's manifest; nullptr keeps it, "" removes it
    std::string expected;
};

void PrintTo(const Ready& row, std::ostream* out) { *out << row.label; }

class ReadyText : public Store, public testing::WithParamInterface<Ready> {};

TEST_P(ReadyText, SlotLetterAndManifestVersion) {
    const Ready& row = GetParam();
    if (row.manifestA) {
        unlink(manifest("a").c_str());
        if (*row.manifestA) put(manifest("a"), row.manifestA);
    }
    EXPECT_EQ(device::readyText(row.text), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ReadyText,
    testing::Values(
        Ready{"slotA", SLOT_A, nullptr, "a\n1.0\n"},
        Ready{"slotBExtraManifestMembers", SLOT_B, nullptr, "b\n2.0\n"},
        Ready{"stock", STOCK, nullptr, ""}, Ready{"empty", "", nullptr, ""},
        Ready{"resourcesNotExamined", document("/data/tavrine-app/a/lib/libzkgui.so", "/elsewhere"),
              nullptr, "a\n1.0\n"},
        Ready{"libraryOnly", R"({"startupLibPath":"/data/tavrine-app/b/lib/libzkgui.so"})", nullptr,
              "b\n2.0\n"},
        Ready{"libraryNumber", R"({"startupLibPath":7,"resPath":"/data/tavrine-app/a/ui/"})",
              nullptr, ""},
        Ready{"notAnObject", "[" + SLOT_A + "]", nullptr, ""},
        Ready{"zeroAfterDocument", SLOT_A + ZERO, nullptr, ""},
        Ready{"unknownSlot",
              document("/data/tavrine-app/c/lib/libzkgui.so", "/data/tavrine-app/c/ui/"), nullptr,
              ""},
        Ready{"versionNumber", SLOT_A, R"({"version":2})", ""},
        Ready{"versionMissing", SLOT_A, R"({"name":"clock"})", ""},
        Ready{"manifestMissing", SLOT_A, "", ""},
        Ready{"manifestBroken", SLOT_A, R"({"version":"1.0")", ""},
        Ready{"manifestArray", SLOT_A, R"(["1.0"])", ""},
        Ready{"manifestComment", SLOT_A, R"(/* v */{"version":"1.0"})", ""},
        Ready{"versionEmpty", SLOT_A, R"({"version":""})", "a\n\n"},
        Ready{"versionTakenExactly", SLOT_A, R"({"version":" 1.0-\u00df\n"})",
              "a\n 1.0-\xc3\x9f\n\n"},
        Ready{"versionWithZeroByte", SLOT_A, R"({"version":"1\u00002"})",
              std::string("a\n1\0"
                          "2\n",
                          6)}),
    [](const auto& info) { return info.param.label; });

TEST_F(Store, ManifestIsReadWithTheBoundedReader) {
    // 16,384 bytes are read whole; one more and the manifest reads as empty.
    const std::string body = R"({"version":"1.0"})";
    put(manifest("a"), body + std::string(16384 - body.size(), ' '));
    EXPECT_EQ(device::readyText(SLOT_A), "a\n1.0\n");
    put(manifest("a"), body + std::string(16385 - body.size(), ' '));
    EXPECT_EQ(device::readyText(SLOT_A), "");
    put(manifest("a"), body + ZERO);
    EXPECT_EQ(device::readyText(SLOT_A), "") << "a zero byte after the document is a parse error";
    ASSERT_EQ(unlink(manifest("a").c_str()), 0);
    ASSERT_EQ(symlink(manifest("b").c_str(), manifest("a").c_str()), 0);
    EXPECT_EQ(device::readyText(SLOT_A), "") << "a linked manifest is not followed";
}

}  // namespace
