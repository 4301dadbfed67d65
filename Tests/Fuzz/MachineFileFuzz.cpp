// The machine.json reader on arbitrary bytes: it either loads the settings whole or stops with a
// message that names the file and a line; nothing else may come out of it.
#include "Machine/Settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        sim::ParseSettings(text, "machine.json");
    } catch (const sim::SettingsError& e) {
        if (std::string(e.what()).rfind("machine.json:", 0) != 0) {
            std::fprintf(stderr, "an error that names no line: %s\n", e.what());
            std::abort();
        }
    }
    return 0;
}
