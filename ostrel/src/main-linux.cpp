// Entry point of ostrel: the command line fills one input record, the batch
// driver runs the stages it selects, and the exit status tells success (0)
// from any failure (1).
#include "OSTREL.h"

int main(int argc, char** argv) {
  OSTREL_input input;
  OSTREL_init_input(&input);
  if (OSTREL_process_command(&input, argc, argv))
    return 1;
  return OSTREL(&input) == 0 ? 0 : 1;
}
