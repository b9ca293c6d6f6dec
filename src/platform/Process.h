#pragma once
// Runs another program hidden from the user: no terminal input, no output on ours.

#include <string>
#include <vector>

namespace tandemora {

// Starts Args[0] (searched on PATH when it holds no "/") with the arguments
// Args[1..], its standard input, output and error on /dev/null, and waits for
// it to end. Returns the program's exit status (0-255), or -1 when it could
// not be started or was ended by a signal.
int RunProcess(const std::vector<std::string>& Args);

} // namespace tandemora
