// Fuzz target of the app configuration rules: the strict whole-text JSON
// parse, both validity rules and the ready text, against a store whose
// libraries and manifests the input lays out (missing, regular, a symbolic
// link, a directory, a FIFO or a hard link).
//
// Each result is compared with the rules restated here from their wording,
// and no descriptor may stay open; any difference aborts. Input: controls,
// then the configuration text, the manifest of slot "a" and the manifest of
// slot "b".
//   controls: 0 stock library, 1 slot "a" library, 2 slot "b" library,
//             3 manifest "a", 4 manifest "b" (kinds); 5 and 6 pad the
//             manifests with spaces to 16,384 (1) or 16,385 (2) bytes.
#include "device.h"
#include "harness.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

using harness::Kind;

constexpr const char* STORE = "/data/tavrine-app/";
constexpr const char* STOCK_LIBRARY = "/res/lib/libzkgui.so";
constexpr const char* STOCK_RESOURCES = "/res/ui/";
constexpr char SLOTS[] = {'a', 'b'};
constexpr std::size_t READ_BOUND = 16384;

std::string slotPath(char slot, const char* tail) { return STORE + std::string(1, slot) + tail; }

// Strict JSON of the whole text; a zero byte anywhere is an error, never an end.
std::optional<nlohmann::json> strict(const std::string& text) {
    if (text.find('\0') != std::string::npos) return std::nullopt;
    try {
        return nlohmann::json::parse(text, nullptr, true, false);
    } catch (const nlohmann::json::exception&) {  // a parse error, or a number out of range
        return std::nullopt;
    }
}

// A string member, or nothing when the document is no object or the member
// is missing or not a string.
std::optional<std::string> member(const nlohmann::json& document, const char* key) {
    if (!document.is_object()) return std::nullopt;
    const auto found = document.find(key);
    if (found == document.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// lstat sees a regular file: a plain file or one more name of it.
bool regularKind(Kind kind) { return kind == Kind::regular || kind == Kind::hardLink; }

bool expectValid(const std::string& text, bool stock, const Kind libraries[3]) {
    const auto document = strict(text);
    if (!document) return false;
    const auto library = member(*document, "startupLibPath");
    const auto resources = member(*document, "resPath");
    if (!library || !resources) return false;
    if (stock)
        return *library == STOCK_LIBRARY && *resources == STOCK_RESOURCES &&
               regularKind(libraries[0]);
    for (int s = 0; s < 2; ++s) {
        if (*library == slotPath(SLOTS[s], "/lib/libzkgui.so") &&
            *resources == slotPath(SLOTS[s], "/ui/") && regularKind(libraries[1 + s]))
            return true;
    }
    return false;
}

std::string expectReady(const std::string& text, const Kind manifests[2],
                        const std::string bytes[2]) {
    const auto document = strict(text);
    if (!document) return {};
    const auto library = member(*document, "startupLibPath");
    if (!library) return {};
    for (int s = 0; s < 2; ++s) {
        if (*library != slotPath(SLOTS[s], "/lib/libzkgui.so")) continue;
        // The bounded reader refuses links, directories and FIFOs, and a
        // file over 16 KiB.
        if (!regularKind(manifests[s]) || bytes[s].size() > READ_BOUND) return {};
        const auto manifest = strict(bytes[s]);
        if (!manifest) return {};
        const auto version = member(*manifest, "version");
        if (!version) return {};
        return std::string(1, SLOTS[s]) + "\n" + *version + "\n";
    }
    return {};
}

[[noreturn]] void disagree(const char* what, const std::string& text) {
    std::fprintf(stderr, "disagreement: %s for a text of %zu bytes\n", what, text.size());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::enterPrivateRoot(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const harness::Input input(data, size);
    harness::reset({"/data/tavrine-app", "/res"});
    const Kind libraries[3] = {input.kind(0), input.kind(1), input.kind(2)};
    const Kind manifests[2] = {input.kind(3), input.kind(4)};
    const std::string& text = input.field(1);
    std::string bytes[2] = {input.field(2), input.field(3)};
    for (int s = 0; s < 2; ++s) {
        const unsigned pad = input.control(5 + s, 3);
        if (pad != 0 && bytes[s].size() < READ_BOUND + pad - 1)
            bytes[s].resize(READ_BOUND + pad - 1, ' ');
    }

    for (const char* dir : {"/res/lib", "/data/tavrine-app/a/lib", "/data/tavrine-app/b/lib"})
        harness::reset({dir});
    harness::plant(libraries[0], STOCK_LIBRARY, "\177ELF");
    for (int s = 0; s < 2; ++s) {
        harness::plant(libraries[1 + s], slotPath(SLOTS[s], "/lib/libzkgui.so"), "\177ELF");
        harness::plant(manifests[s], slotPath(SLOTS[s], "/manifest.json"), bytes[s]);
    }

    const std::set<int> before = harness::openDescriptors();
    // The parse either gives the document or throws the JSON library's
    // exception, nothing else.
    const auto expected = strict(text);
    std::optional<nlohmann::json> parsed;
    try {
        parsed = device::parseJson(text);
    } catch (const nlohmann::json::exception&) {
    }
    if (parsed.has_value() != expected.has_value()) disagree("parseJson acceptance", text);
    if (parsed && *parsed != *expected) disagree("parseJson document", text);

    if (device::valid(text, true) != expectValid(text, true, libraries))
        disagree("stock rule", text);
    if (device::valid(text, false) != expectValid(text, false, libraries))
        disagree("slot rule", text);
    if (device::readyText(text) != expectReady(text, manifests, bytes))
        disagree("ready text", text);
    if (harness::openDescriptors() != before) disagree("descriptors left open", text);
    return 0;
}
