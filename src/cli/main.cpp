#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments = tandrel::platform::commandLineArguments(argc, argv);
    std::vector<char*> words;
    for (std::string& argument : arguments) words.push_back(argument.data());
    words.push_back(nullptr);
    return tandrel::runCommandLine(static_cast<int>(arguments.size()), words.data());
}
