// The process entry's logic: picks the mode, runs it, returns the exit status.
#pragma once

namespace tandrel {

void printUsage();
int runCommandLine(int argc, char** argv);

}  // namespace tandrel
