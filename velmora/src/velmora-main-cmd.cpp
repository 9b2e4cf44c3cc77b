// Entry point of velmora.x: hands the argument vector to the command frame,
// whose result is the exit status.
#include "velmora-cmd.h"

int main(int argc, char** argv) { return velmora_cmd_start(argc, argv); }
