// The list of velmora (see velmora-ds.h): std::list of element pointers with
// a cursor; the list frees its elements only when it was given a destructor.
#include "velmora-ds.h"

#include <cstdio>

std::unique_ptr<VELMORA_LIST> velmora_list_new(void (*func_free)(void*)) {
  auto list = std::make_unique<VELMORA_LIST>();
  list->func_free = func_free;
  return list;
}

void velmora_list_free(std::unique_ptr<VELMORA_LIST>& list) { list.reset(); }

void* velmora_list_insert_last(VELMORA_LIST* list, void* element) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_LIST has not been properly initialized.\n");
    return nullptr;
  }
  list->curr = list->items.insert(list->items.end(), element);
  return element;
}

void* velmora_list_append(VELMORA_LIST* list, void* element) {
  return velmora_list_insert_last(list, element);
}

long velmora_list_count(VELMORA_LIST* list) {
  if (!list) return 0;
  long count = 0;
  for (list->curr = list->items.begin(); list->curr != list->items.end(); ++list->curr) {
    ++count;
    if (std::next(list->curr) == list->items.end()) break;
  }
  return count;
}
