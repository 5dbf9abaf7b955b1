#include <iostream>

#include "Replay.h"

int main() {
    return sendhold::runReplay(std::cin, std::cout, std::cerr);
}
