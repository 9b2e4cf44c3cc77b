// Entry point of ostrel: the command line fills one input record, the batch
// driver runs the stages it selects, and the exit status tells success (0)
// from any failure (1).
#include <new>

#include "OSTREL.h"

int main(int argc, char** argv) {
  // Memory that runs out where no stage expects it still ends the run with
  // one message and status 1 (output files are written under temporary
  // names, which their writer removes).
  try {
    OSTREL_input input;
    OSTREL_init_input(&input);
    if (OSTREL_process_command(&input, argc, argv))
      return 1;
    if (input.stop)
      return 0;
    return OSTREL(&input) == 0 ? 0 : 1;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "Error: Memory allocation problem\n");
  } catch (const std::exception& e) {
    fprintf(stderr, "Error: %s\n", e.what());
  }
  return 1;
}
