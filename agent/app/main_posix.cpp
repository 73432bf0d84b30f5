#include "app/agent_app.h"

#include <iostream>

int main(int argc, char** argv) { return cashdrawer::agent::RunAgentApp(argc, argv, std::cout, std::cerr); }
