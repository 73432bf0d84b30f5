// Windows: the command line in UTF-16, handed on in UTF-8 like every other
// text of the agent's, so a settings or journal folder of any name works.
#include "app/agent_app.h"

#include "os/win32_error.h"

#include <shellapi.h>

#include <iostream>
#include <string>
#include <vector>

int main() {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(cashdrawer::WideToUtf8(wide[i]));
    }
    ::LocalFree(wide);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return cashdrawer::agent::RunAgentApp(count, argv.data(), std::cout, std::cerr);
}
