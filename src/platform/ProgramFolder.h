#pragma once
// "Beside the program": the folder that holds the executable together with its
// options, language, task-list, log and error-log files.

#include <string>

namespace tandemora {

// The program folder with a trailing "/". By default the folder of the running
// executable; tests point it at a temporary folder of their own.
std::string GetProgramFolder();

// Replaces the program folder for this process (an empty text restores the default).
void SetProgramFolder(const std::string& folder);

} // namespace tandemora
