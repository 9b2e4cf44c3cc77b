// Messages of failed list operations: the analyzer names its own function
// in every allocation and bad-argument message.
#include "OSTREL-list.h"

int OSTREL_memory_error(const char* function) {
  if (function)
    fprintf(stderr, "Error: Memory allocation problem in %s()\n", function);
  else
    fprintf(stderr, "Error: Memory allocation problem\n");
  return 1;
}

int OSTREL_invalid_input(const char* function) {
  fprintf(stderr, "Error: Invalid input to %s()\n", function);
  return 1;
}
