#include "cli/cli_app.h"

#include <iostream>

int main(int argc, char** argv) { return cashdrawer::cli::RunCli(argc, argv, std::cout, std::cerr); }
