// A private simulated machine for one test: a temporary machine directory made this process's
// machine for the test's lifetime, then removed; the machine used before comes back, read afresh
// from its directory.
#pragma once

#include <string>

namespace test {

// A fresh temporary directory, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

class TestMachine {
public:
    // `machineJson` empty: no machine.json (every setting at its default).
    explicit TestMachine(const std::string& machineJson = "", const std::string& registryReg = "");
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    const std::string& Dir() const { return m_dir.Path(); }
    std::string PathOf(const std::string& name) const { return Dir() + "/" + name; }

    // Writes a file of the machine, making its directories ("drive_c/Windows/Temp/x.txt").
    void WriteFile(const std::string& relative, const std::string& content) const;
    std::string ReadFile(const std::string& relative) const;
    void MakeDirectory(const std::string& relative) const;

private:
    TempDir m_dir;
    std::string m_previousDir;
};

}  // namespace test
