// The text format regedit exports the registry in ("Windows Registry Editor Version 5.00"),
// which is how a machine keeps its registry on disk.
#pragma once

#include "Machine/Registry/RegKey.h"

#include <stdexcept>
#include <string>

namespace sim {

class RegFileError : public std::runtime_error {
public:
    RegFileError(int line, const std::string& what) : std::runtime_error(what), m_line(line) {}
    int Line() const { return m_line; }

private:
    int m_line;
};

// Applies a .reg file (UTF-8, or UTF-16LE or UTF-8 with a byte-order mark) to `tree` as regedit
// imports one: keys made, values set, "[-key]" and "name"=- deleting. With `volatileKeys`, the
// keys the file names are marked volatile. Throws RegFileError naming the first bad line; `tree`
// may then be half changed.
void ReadRegFile(const std::string& bytes, RegKey& tree, bool volatileKeys = false);

// The tree's non-volatile keys (or, with `volatileKeys`, only its volatile ones) as a .reg file,
// in UTF-8 without a byte-order mark: regedit writes UTF-16LE, but a machine's registry is read
// and edited by hand and compared in tests with ordinary text tools, and ReadRegFile takes both.
// Names holding lone surrogates are written as generalized UTF-8 so that nothing is lost.
std::string WriteRegFile(const RegKey& tree, bool volatileKeys = false);

}  // namespace sim
