// The list of velmora: a doubly linked list of untyped element pointers with
// a cursor and an optional element destructor.  Elements are compared by
// identity only; a std::list holds the nodes.
#ifndef VELMORA_DS_H_
#define VELMORA_DS_H_

#include <list>
#include <memory>

struct VELMORA_LIST {
  using container = std::list<void*>;
  container items;                      // the elements, first to last
  container::iterator curr{};           // cursor; items.end() when off the list
  void (*func_free)(void*) = nullptr;   // applied to every element on destruction
  VELMORA_LIST() : curr(items.end()) {}
  VELMORA_LIST(const VELMORA_LIST&) = delete;
  VELMORA_LIST& operator=(const VELMORA_LIST&) = delete;
  ~VELMORA_LIST() {
    if (func_free)
      for (void* element : items) func_free(element);
  }
};

// A new empty list; `func_free` (or none) will free the elements.
std::unique_ptr<VELMORA_LIST> velmora_list_new(void (*func_free)(void*));
// Destroys the list, freeing its elements when it has a destructor.
void velmora_list_free(std::unique_ptr<VELMORA_LIST>& list);
// Appends `element`; the cursor moves onto it.  Returns the element, or none
// for a missing list.
void* velmora_list_insert_last(VELMORA_LIST* list, void* element);
void* velmora_list_append(VELMORA_LIST* list, void* element);
// Number of elements (the cursor ends on the last one).
long velmora_list_count(VELMORA_LIST* list);

#endif  // VELMORA_DS_H_
