// Prints the version of the kov_update that the consumer was built against.
#include "update/version.h"

#include <iostream>

int main() { std::cout << "kov_update " << kov::update::kVersion << "\n"; }
