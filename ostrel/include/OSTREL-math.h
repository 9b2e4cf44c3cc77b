// Graph and expression utilities of ostrel: a binary heap over a value array
// with a parallel id array, an undirected weighted multigraph (shortest routes
// by Dijkstra's method, Euler walks after pairing odd vertices), biconnected
// components and cut vertices (Tarjan), the infix arithmetic engine
// (POSIX-regex tokenizer, shunting-yard compiler, RPN evaluator) and the
// MT19937 Mersenne Twister.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "OSTREL-list.h"

// ---------------------------------------------------------------------------
// Binary heap on parallel arrays (children of i at 2i+1 and 2i+2).  mode != 0
// builds a max-heap, mode 0 a min-heap; values and ids move together.
int heap_parent(int i);
int heap_leftchild(int i);
int heap_rightchild(int i);
void heap_siftDown(double* values, int* ids, int n, int i, int mode);
void heap_heapify(double* values, int* ids, int n, int mode);
// Removes the root; returns its id (or -1 for an empty heap) and shrinks *n.
int heap_extract(double* values, int* ids, int* n, int mode);

// ---------------------------------------------------------------------------
// Undirected weighted multigraph with integer vertex labels.
struct OSTREL_graph_edge {
  int a = 0, b = 0;  // labels of the two ends (a == b is a loop)
  double w = 0.0;    // weight
};

struct OSTREL_graph_vertice {
  int a = 0;               // label
  int d = 0;               // degree (edge ends at the vertex)
  int visited = 0;         // shortest-route bookkeeping
  int total_path = 0;      // length of `path`
  std::vector<int> path;   // labels before this vertex on the best route
  double dist = -1.0;      // best route weight, -1 while unreachable
};

struct OSTREL_graph {
  int total_edge = 0;
  std::vector<OSTREL_graph_edge> edge;
  int total_vertice = 0;
  std::vector<OSTREL_graph_vertice> vert;
};

int OSTREL_add_edge(OSTREL_graph* g, int a, int b, double w);
int OSTREL_build_vert_from_edge(OSTREL_graph* g);
int OSTREL_copy_graph(const OSTREL_graph* src, OSTREL_graph* dst);
void OSTREL_free_graph(OSTREL_graph* g);
void OSTREL_free_graph_vert(OSTREL_graph* g);
void OSTREL_free_graph_edge(OSTREL_graph* g);
double OSTREL_graph_total_distance(const OSTREL_graph* g);
// Position of the vertex with this label in g->vert, or -1.
int OSTREL_find_vertice(const OSTREL_graph* g, int label);
void OSTREL_decrease_vertice_degree(OSTREL_graph* g, int label);
int OSTREL_delete_vertice(OSTREL_graph* g, int label);
// Shortest route from `source` to `target`.  When *route_length is -1 on
// entry only the distance is computed; otherwise `route` receives the labels
// from the source to the target and *route_length their number.
int OSTREL_find_shortest_path(OSTREL_graph* g, int source, int target, double* distance,
                              std::vector<int>* route, int* route_length);
// Every perfect pairing of the odd vertices (positions in g->vert) that are
// not excluded; each pairing lists its pairs in order.
int OSTREL_handshake_odd_vertices_combinations(OSTREL_graph* g,
                                               std::vector<std::vector<int>>* pairings,
                                               int* total, int* pairs, const int* excluded,
                                               int n_excluded);
// Duplicates the cheapest routes between odd vertices so that every vertex
// but the excluded ones has even degree.
int OSTREL_handshake_odd_vertices(OSTREL_graph* g, const int* excluded, int n_excluded);
// A walk that uses every edge of the repaired graph once: vertex labels
// (length = steps + 1) and the weight of each step.
int OSTREL_build_Euler_path(const OSTREL_graph* g, std::vector<int>* sequence, int* length,
                            std::vector<double>* weights);

// Biconnected components (blocks) and cut vertices of an undirected graph on
// the vertices 0 .. n-1, found by Tarjan's depth-first search (iterative).
// Loops are ignored; parallel edges make a block of their own.  The record
// is owned by the caller and reused: its work arrays keep their storage
// between calls.
struct OSTREL_blocks {
  int total = 0;                  // number of blocks
  std::vector<int> block_start;   // block b: block_vertex[block_start[b] .. block_start[b + 1])
  std::vector<int> block_vertex;
  std::vector<char> is_cut;       // per vertex: 1 for a cut vertex
  // Work arrays: adjacency with edge ids, discovery times, low links, the
  // edge that discovered each vertex, the next edge to try, stacks.
  std::vector<int> start, to, eid, fill, disc, low, parent_edge, next, mark, estack, vstack;
};

void OSTREL_find_biconnected_components(int n, const std::vector<std::pair<int, int>>& edges,
                                        OSTREL_blocks* blocks);

// ---------------------------------------------------------------------------
// Arithmetic expressions in single-letter variables: + - * / ^ and brackets.
enum OSTREL_RPN_token_type { type_op = 0, type_number = 1, type_var = 2 };

struct OSTREL_RPN_token_item {
  OSTREL_RPN_token_type token_type = type_number;
  double d = 0.0;  // value of a number
  char c = 0;      // operator character or variable letter
};

struct OSTREL_RPN_token {
  int size = 0;
  int cap = 0;
  std::vector<OSTREL_RPN_token_item> item;
};

// Slots 0-25 hold A-Z, 26-51 hold a-z; unset variables read as 0.
struct OSTREL_variable_list {
  double value[52] = {};
};

struct OSTREL_char_stack {
  int size = 0;
  int cap = 0;
  std::vector<char> item;
};

struct OSTREL_RPN_number_stack {
  int size = 0;
  int cap = 0;
  std::vector<double> item;
};

constexpr int MAX_TOKEN_SIZE = 100;

void OSTREL_init_RPN_token(OSTREL_RPN_token* t);
int OSTREL_alloc_RPN_token(OSTREL_RPN_token* t, int size);
int OSTREL_add_RPN_token(OSTREL_RPN_token* t, const OSTREL_RPN_token_item& item);
void OSTREL_free_RPN_token(OSTREL_RPN_token* t);
void OSTREL_free_RPN(OSTREL_RPN_token* t);

void OSTREL_init_char_stack(OSTREL_char_stack* s);
int OSTREL_alloc_char_stack(OSTREL_char_stack* s, int size);
int OSTREL_push_char_stack(OSTREL_char_stack* s, char c);
int OSTREL_pop_char_stack(OSTREL_char_stack* s, char* c);
void OSTREL_free_char_stack(OSTREL_char_stack* s);

int OSTREL_RPN_push_number_stack(OSTREL_RPN_number_stack* s, double v);
int OSTREL_RPN_pop_number_stack(OSTREL_RPN_number_stack* s, double* v);

int OSTREL_store_variable_value(OSTREL_variable_list* vars, char letter, double value);
int OSTREL_get_variable_value(const OSTREL_variable_list* vars, char letter, double* value);

int OSTREL_RPN_tokenize(const char* text, OSTREL_RPN_token* tokens);
int OSTREL_RPN_build_push(OSTREL_RPN_token* out, const OSTREL_RPN_token_item& item);
int OSTREL_RPN_build_pop(OSTREL_char_stack* ops, OSTREL_RPN_token* out);
int OSTREL_RPN_build(const char* text, OSTREL_RPN_token* rpn);
int OSTREL_RPN_read(const OSTREL_RPN_token* rpn, const OSTREL_variable_list* vars,
                    double* value);

// ---------------------------------------------------------------------------
// MT19937 (Matsumoto and Nishimura, initialisation of 2002-01-26).
void init_genrand(unsigned long s);
unsigned long genrand_int32();
double genrand_real1();  // uniform on [0, 1]
