// unquarvex: restores files from quarvex compressed files.
#include "unquarvex.h"

int main(int argc, char** argv) { return uq::restore_main(argc, argv); }
