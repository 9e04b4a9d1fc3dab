// Prints the version of the kov_update that the consumer was built against.
#include <iostream>

#include "update/version.h"

int main() { std::cout << "kov_update " << kov::update::kVersion << "\n"; }
