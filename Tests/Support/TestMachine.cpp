#include "Support/TestMachine.h"

#include "Machine/Machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace test {

namespace {

std::string MakeTempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-test.XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory";
        std::abort();
    }
    return made;
}

}  // namespace

TempDir::TempDir() : m_path(MakeTempDirectory()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

TestMachine::TestMachine(const std::string& machineJson, const std::string& registryReg) {
    std::filesystem::create_directories(Dir() + "/drive_c/Windows/Temp");
    std::filesystem::create_directories(Dir() + "/drive_c/Windows/system32");
    std::filesystem::create_directories(Dir() + "/drive_c/Windows/SysWOW64");
    if (!machineJson.empty()) {
        WriteFile("machine.json", machineJson);
    }
    if (!registryReg.empty()) {
        WriteFile("registry.reg", registryReg);
    }
    m_previousDir = sim::Machine::Get().Dir();
    sim::Machine::Use(Dir());
}

TestMachine::~TestMachine() {
    sim::Machine::Use(m_previousDir);
}

void TestMachine::WriteFile(const std::string& relative, const std::string& content) const {
    std::filesystem::path path = std::filesystem::path(Dir()) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TestMachine::ReadFile(const std::string& relative) const {
    std::ifstream in(std::filesystem::path(Dir()) / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void TestMachine::MakeDirectory(const std::string& relative) const {
    std::filesystem::create_directories(std::filesystem::path(Dir()) / relative);
}

}  // namespace test
