// The .reg parser on arbitrary bytes: it either names a bad line or gives a tree that the writer
// turns into a file which reads back to the same tree and writes out the same again.
#include "Machine/RegFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    auto tree = sim::NewRegistryTree();
    try {
        sim::ReadRegFile(bytes, *tree);
    } catch (const sim::RegFileError& e) {
        if (e.Line() < 1) {
            std::abort();
        }
        return 0;
    }
    std::string written = sim::WriteRegFile(*tree);
    auto again = sim::NewRegistryTree();
    try {
        sim::ReadRegFile(written, *again);
    } catch (const sim::RegFileError& e) {
        std::fprintf(stderr, "written file rejected at line %d: %s\n%s", e.Line(), e.what(),
                     written.c_str());
        std::abort();
    }
    if (!tree->SameTree(*again) || sim::WriteRegFile(*again) != written) {
        std::fprintf(stderr, "round trip changed the tree:\n%s", written.c_str());
        std::abort();
    }
    return 0;
}
