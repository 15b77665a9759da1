// App configurations: the stock and slot validity rules, and the ready text
// a started slot application must write to prove it runs.
//
// Documents are parsed whole as byte strings, strictly (no comments, no
// trailing data); a zero byte anywhere is a parse error, never a cut.
#include "device.h"

#include <nlohmann/json.hpp>

namespace device {

namespace {

constexpr const char* STOCK_LIBRARY = "/res/lib/libzkgui.so";
constexpr const char* STOCK_RESOURCES = "/res/ui/";
constexpr const char* SLOTS[] = {"a", "b"};
constexpr const char* SLOT_LIBRARY = "/lib/libzkgui.so";
constexpr const char* SLOT_RESOURCES = "/ui/";
constexpr const char* MANIFEST = "/manifest.json";
constexpr const char* LIBRARY_KEY = "startupLibPath";
constexpr const char* RESOURCES_KEY = "resPath";
constexpr const char* VERSION_KEY = "version";

std::string slotPath(const char* slot, const char* tail) {
    return std::string(STORE_ROOT) + slot + tail;
}

}  // namespace

// The JSON lexer takes a zero byte for the end of its input, which would
// accept a document followed by anything at all; refuse it outright.
nlohmann::json parseJson(const std::string& text) {
    const size_t zero = text.find('\0');
    if (zero != std::string::npos) {
        throw nlohmann::json::parse_error::create(101, zero, "zero byte in JSON text", nullptr);
    }
    return nlohmann::json::parse(text.begin(), text.end(), nullptr, true, false);
}

bool valid(const std::string& text, bool stock) {
    try {
        const nlohmann::json document = parseJson(text);
        const std::string library = document.at(LIBRARY_KEY).get<std::string>();
        const std::string resources = document.at(RESOURCES_KEY).get<std::string>();
        if (stock) {
            return library == STOCK_LIBRARY && resources == STOCK_RESOURCES &&
                   regular(library.c_str());
        }
        for (const char* slot : SLOTS) {
            if (library == slotPath(slot, SLOT_LIBRARY) &&
                resources == slotPath(slot, SLOT_RESOURCES) && regular(library.c_str())) {
                return true;
            }
        }
        return false;
    } catch (...) {
        return false;
    }
}

std::string readyText(const std::string& text) {
    try {
        const nlohmann::json document = parseJson(text);
        const nlohmann::json& library = document.at(LIBRARY_KEY);
        if (!library.is_string()) return {};
        for (const char* slot : SLOTS) {
            if (library.get<std::string>() != slotPath(slot, SLOT_LIBRARY)) continue;
            const nlohmann::json manifest = parseJson(read(slotPath(slot, MANIFEST).c_str()));
            const nlohmann::json& version = manifest.at(VERSION_KEY);
            if (!version.is_string()) return {};
            return std::string(slot) + "\n" + version.get<std::string>() + "\n";
        }
        return {};
    } catch (...) {
        return {};
    }
}

}  // namespace device
