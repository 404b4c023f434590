// Writes the systemd unit that `talvoro_macadress -i` would write for the executable at
// argv[1] into the file argv[2], so that the Debian package ships the product's own text.
#include <fstream>
#include <iostream>

#include "platform/systemd_unit.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: unit_text EXECUTABLE OUTPUT\n";
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out << SystemdUnitText(argv[1]);
  out.close();
  if (!out) {
    std::cerr << "unit_text: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
