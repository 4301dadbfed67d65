// tarvik-sim's commands that change the machine's Hyper-V host while its processes run: the same
// words on the command line and in scenario files. Each change is written to the machine's live
// topology (hyperv.json) at once; every process sees it at its next WMI call.
#pragma once

#include <string>
#include <vector>

namespace topology {

// The help text of a topology command; null for a word that is none.
const char* HelpOf(const std::string& verb);
// The usage lines of every topology command, for the tool's overview.
const char* Usage();

// Runs one command (`words[0]` its verb). "" on success, else a one-line reason; `*usage` is set
// when the words do not fit the command (exit code 2 rather than 1).
std::string Run(const std::vector<std::string>& words, bool* usage);

}  // namespace topology
