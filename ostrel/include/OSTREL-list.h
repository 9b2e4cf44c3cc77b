// The one list primitive of ostrel.  Every growable list of the analyzer is
// a vector with a count of entries in use (`total`) and, for most lists, a
// capacity (`cap`) that grows by doubling; the named list operations of the
// records (add a minimum, delete a path type, push an operator ...) are
// one-line calls of these templates.  Failures are reported by two helpers
// that print the analyzer's messages naming the function.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

// Status of a list operation.
enum OSTREL_list_status { OSTREL_LIST_OK = 0, OSTREL_LIST_NO_MEMORY = 1, OSTREL_LIST_BAD_INDEX = -1 };

// Prints "Error: Memory allocation problem in <function>()" (without the
// "in ..." part when `function` is null) and returns 1.
int OSTREL_memory_error(const char* function);
// Prints "Error: Invalid input to <function>()" and returns 1.
int OSTREL_invalid_input(const char* function);
// 0 for success, else the message of the failed operation of `function`
// (memory failures named after `memory_function`, plain when it is null).
inline int OSTREL_list_report(int status, const char* function, const char* memory_function) {
  if (status == OSTREL_LIST_OK)
    return 0;
  return status == OSTREL_LIST_BAD_INDEX ? OSTREL_invalid_input(function)
                                         : OSTREL_memory_error(memory_function);
}
inline int OSTREL_list_report(int status, const char* function) {
  return OSTREL_list_report(status, function, function);
}

// Runs `body` (which returns 0 or 1) and turns exhausted memory (any
// standard exception from the containers) into the allocation message of
// `function`.
template <class F>
int OSTREL_catch_memory(const char* function, F&& body) {
  try {
    return body();
  } catch (const std::exception&) {
    return OSTREL_memory_error(function);
  }
}

// Capacity: the storage vector of a list with a capacity always holds `cap`
// elements.  When a new length exceeds the capacity, the capacity becomes
// the new length if it was 0, else it doubles (or reaches the new length if
// doubling is not enough).  Returns 0, 1 (OSTREL_LIST_NO_MEMORY) when memory
// cannot be had, or -1 (OSTREL_LIST_BAD_INDEX) for a negative length.
template <class T>
int OSTREL_grow_list(std::vector<T>& items, int& cap, int needed) {
  if (needed < 0)
    return OSTREL_LIST_BAD_INDEX;
  if (needed <= cap) {
    if ((int)items.size() < cap)
      items.resize(cap);
    return OSTREL_LIST_OK;
  }
  long long newcap = cap == 0 ? needed : 2LL * cap;
  if (newcap < needed)
    newcap = needed;
  if (newcap > INT_MAX)
    return OSTREL_LIST_NO_MEMORY;
  try {
    items.resize((std::size_t)newcap);
  } catch (const std::exception&) {
    return OSTREL_LIST_NO_MEMORY;
  }
  cap = (int)newcap;
  return OSTREL_LIST_OK;
}

// A list: its vector, its count and its capacity (null for a list without
// one, whose vector holds exactly `total` entries).
template <class T>
struct OSTREL_list {
  std::vector<T>& items;
  int& total;
  int* cap;
};

template <class T>
OSTREL_list<T> OSTREL_list_of(std::vector<T>& items, int& total, int* cap = nullptr) {
  return OSTREL_list<T>{items, total, cap};
}

// Room for `needed` entries.
template <class T>
int OSTREL_list_reserve(OSTREL_list<T> l, int needed) {
  if (l.cap)
    return OSTREL_grow_list(l.items, *l.cap, needed);
  // A list without a capacity grows as its vector does (by doubling).
  if (needed < 0)
    return OSTREL_LIST_BAD_INDEX;
  try {
    l.items.resize((std::size_t)l.total);
  } catch (const std::exception&) {
    return OSTREL_LIST_NO_MEMORY;
  }
  return OSTREL_LIST_OK;
}

// Inserts `value` at `index` (0 .. total); later entries move up.
template <class T>
int OSTREL_list_insert(OSTREL_list<T> l, int index, T value) {
  if (index < 0 || index > l.total)
    return OSTREL_LIST_BAD_INDEX;
  if (int r = OSTREL_list_reserve(l, l.total + 1))
    return r;
  try {
    if (!l.cap)
      l.items.emplace_back();
  } catch (const std::exception&) {
    return OSTREL_LIST_NO_MEMORY;
  }
  std::move_backward(l.items.begin() + index, l.items.begin() + l.total,
                     l.items.begin() + l.total + 1);
  l.items[index] = std::move(value);
  l.total++;
  return OSTREL_LIST_OK;
}

// Appends `value` (the insertion at the end, without the shifting); room
// within the capacity takes the short way.
template <class T>
int OSTREL_list_append(OSTREL_list<T> l, T value) {
  if (l.cap && l.total < *l.cap && (int)l.items.size() == *l.cap) {
    l.items[l.total++] = std::move(value);
    return OSTREL_LIST_OK;
  }
  if (l.cap) {
    if (int r = OSTREL_grow_list(l.items, *l.cap, l.total + 1))
      return r;
    l.items[l.total] = std::move(value);
  } else {
    try {
      if ((int)l.items.size() != l.total)
        l.items.resize((std::size_t)l.total);
      l.items.push_back(std::move(value));
    } catch (const std::exception&) {
      return OSTREL_LIST_NO_MEMORY;
    }
  }
  l.total++;
  return OSTREL_LIST_OK;
}

// The last entry (for the records that fill a new entry in place).
template <class T>
T& OSTREL_list_last(OSTREL_list<T> l) {
  return l.items[l.total - 1];
}

// Removes the entry at `index` (taken into `out` when given); later entries
// move down, order kept.
template <class T>
int OSTREL_list_erase(OSTREL_list<T> l, int index, T* out = nullptr) {
  if (index < 0 || index >= l.total)
    return OSTREL_LIST_BAD_INDEX;
  if (out)
    *out = std::move(l.items[index]);
  std::move(l.items.begin() + index + 1, l.items.begin() + l.total, l.items.begin() + index);
  l.total--;
  if (l.cap)
    l.items[l.total] = T();
  else
    l.items.resize((std::size_t)l.total);
  return OSTREL_LIST_OK;
}

// Removes every entry for which `gone(entry, position)` holds; the others
// keep their order.  Returns the number removed.
template <class T, class Pred>
int OSTREL_list_remove_if(OSTREL_list<T> l, Pred gone) {
  int w = 0;
  const int n = l.total;
  for (int q = 0; q < n; q++) {
    if (gone(l.items[q], q))
      continue;
    if (w != q)
      l.items[w] = std::move(l.items[q]);
    w++;
  }
  if (l.cap)
    for (int q = w; q < n; q++) l.items[q] = T();
  else
    l.items.resize((std::size_t)w);
  l.total = w;
  return n - w;
}

// Position of the first entry for which `match(entry)` holds, or -1.
template <class T, class Pred>
int OSTREL_list_find(const std::vector<T>& items, int total, Pred match) {
  for (int q = 0; q < total; q++)
    if (match(items[q]))
      return q;
  return -1;
}

// Empties the list and releases its storage.
template <class T>
void OSTREL_list_free(OSTREL_list<T> l) {
  l.items.clear();
  l.items.shrink_to_fit();
  l.total = 0;
  if (l.cap)
    *l.cap = 0;
}
