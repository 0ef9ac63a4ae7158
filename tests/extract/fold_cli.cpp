// foldCase as a command, for the tests that hold it against a file system that folds case:
// each name on standard input, ended by a NUL byte, comes out folded and ended the same way.
#include <iostream>
#include <string>

#include "entry_name.h"

int main() {
  std::string name;
  while (std::getline(std::cin, name, '\0')) std::cout << foldCase(name) << '\0';
  return std::cout.good() ? 0 : 1;
}
