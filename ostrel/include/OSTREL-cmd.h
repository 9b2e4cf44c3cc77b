// ostrel's interactive command mode: after the batch stages, commands read
// line by line from standard input ask about the landscape, the structure
// and the paths, change them (cut-off, deletions) and rebuild the stages.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct OSTREL_run;

// Reads and answers commands until "end" or the end of the input.  Returns
// 0 on leaving, 1 when a deletion, a path concatenation or a copy of the
// structure failed (the run then fails).
int OSTREL_parse_command_mode_input(OSTREL_run* run, FILE* in = stdin);
// Answers "help" and "help <command>"; 1 when the line was such a request.
int OSTREL_cmd_help(const char* line);
// The export command: a copy of the structure, changed as the options ask
// and written as a CIF file.  1 only when the copy cannot be made.
int OSTREL_cmd_export_cif(const char* line, OSTREL_run* run);
// Splits text at white space into at most `max` words; a double-quoted part
// is one word without its quotes.  Returns the number of words; a text with
// more words than `max` gives max + 1 (the extra words are not kept).
int OSTREL_tokenize_string(const char* text, std::vector<std::string>* words, int max);
