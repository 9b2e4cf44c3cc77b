// Machine-readable summaries of the commands that screening scripts run
// (--cal-bv, --text-cal-bv, --gen-cube): "--json FILE" after the command's
// arguments writes one JSON document (RFC 8259) with the program's version
// and source revision, the units, the seed in effect and the command's
// results, so that no caller has to parse the printed text.
#ifndef VELMORA_JSON_H_
#define VELMORA_JSON_H_

#include <string>
#include <vector>

#include "velmora-bv.h"
#include "velmora-cube.h"
#include "velmora.h"

// Version of the documents' layout, raised when a key changes meaning.
constexpr int VELMORA_JSON_SCHEMA_VERSION = 1;

// Takes "--json FILE" out of the arguments after the command (args[2] on);
// `file` receives the name (empty without the option).  Returns 0, or 2 with
// an error line when the option has no file name or comes twice.
int velmora_json_take_option(std::vector<char*>& args, std::string* file);
// Whether a command writes a JSON summary.
bool velmora_json_offered(const char* command);

// --cal-bv: every site with species, occupancy, multiplicity and sum, the
// GII and its verdict.  0, or 1 with the error line when it cannot be
// written (whole or not at all).
int velmora_json_write_bv(const char* path, const char* command, const char* input,
                          const VELMORA_CELL* cell, const VELMORA_BV* bv, double gii);

// What --gen-cube was asked for and made.
struct VELMORA_JSON_CUBE_RUN {
  const char* input = "";          // the CIF
  const char* cube = "";           // the cube written
  const char* assigned_cif = "";   // the resolved supercell's CIF, when resolved
  const char* type = "";           // conducting species
  int os = 0;
  double resolution = 0.0;         // grid step asked for, A
  double sf_given = 0.0;           // not positive: searched
  const VELMORA_CELL* cell = nullptr;  // the structure as read
};
int velmora_json_write_cube(const char* path, const VELMORA_JSON_CUBE_RUN& run,
                            const VELMORA_CUBE_SUMMARY& made);

#endif  // VELMORA_JSON_H_
