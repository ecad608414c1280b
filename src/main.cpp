// Program entry point.
#include "velmorant.h"

int main(int argc, char** argv) { return velmorant_main(argc, argv); }
