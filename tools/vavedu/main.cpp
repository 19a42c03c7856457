// vavedu: the instrument's command-line tool.
#include "tools/vavedu/tool.hpp"

#include <unistd.h>

#include <iostream>

int main(int argc, char** argv) {
    return vavedu::tool::runTool(argc, argv, std::cin, std::cout, std::cerr, isatty(1) != 0);
}
