#include "service/entry.h"

int main(int argc, char** argv) {
  return ServiceHostMain(argc, argv);
}
