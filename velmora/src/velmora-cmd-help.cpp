// The texts velmora.x prints about itself, all made from the command table
// so that they cannot drift from the commands: the version banner, the list
// of commands (-h), every command's usage (--help-all) and the Markdown
// reference of the manual (--help-all --markdown).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "velmora-cmd.h"

namespace {

// The options read after any command's arguments (taken out by the
// dispatcher before the handler sees its positional arguments).
struct VELMORA_CMD_OPTION {
  const char* words;
  const char* text;
};
const VELMORA_CMD_OPTION kOptions[] = {
    {"--seed S",
     "after any command's arguments seeds its random steps (the resolution of partly occupied "
     "sites, kinetic Monte Carlo, molecular dynamics); the seed used is printed, from the clock "
     "when not given."},
    {"--json FILE",
     "after the arguments of --cal-bv, --text-cal-bv or --gen-cube writes their results as a "
     "JSON document (version, seed, units, sites and sums, or the landscape's grid, screening "
     "factor and supercell)."},
};

// What a command not listed by -h does, and what a command without usage
// lines takes: the commands that need no argument, and those that answer a
// missing one with the short error.
const VELMORA_CMD_NOTE kNotes[] = {
    {"--version", "", "print the version banner (also without any command)."},
    {"--help", "", "list the commands with one line each."},
    {"--help-all", "| {--markdown}",
     "print the usage of every command; with --markdown, this reference."},
    {"--print-sys", "",
     "print where the three data files were found (beside the program as started, beside the "
     "real executable, else in the installed data directory) and the text-mode tokens."},
    {"--print-ppt-full", "",
     "print every force-field parameter of the cell, with a conducting ion added when one is "
     "given (kept for debugging)."},
    {"--cal-bv-type", "",
     "print the bond-valence sums of the bonds between one cation species and one anion "
     "species."},
    {"--cal-cn-bv", "",
     "list the bonds of an atom ranked by bond valence, with running sums against its "
     "bond-valence sum, and the coordination number at the bond that closes the sphere."},
    {"--cal-charge", "[input.cif]",
     "print the charge of the cell read, the sum of occupancy times oxidation state over its "
     "atoms (\"Total charge per unit cell:\")."},
    {"--cal-bv-gui", "[input.cif]",
     "print the bond-valence sums of --cal-bv in the layout a graphical front end reads."},
    {"--text-cal-bv", "-:text WORDS",
     "--cal-bv of a CIF given on the command line: its words follow -:text as separate "
     "arguments, with -:nl wherever a line ends; the results go to standard output only."},
    {"--text-gen-gin-lib", "-:text WORDS",
     "--gen-gin-lib of a CIF given on the command line as for --text-cal-bv; the library is "
     "printed after a separator line."},
    {"--text-gen-gin-lib-set-sf", "[sf] -:text WORDS",
     "--text-gen-gin-lib with the screening factor sf instead of the searched one."},
};

bool velmora_cmd_is_alias(const VELMORA_CMD* table, std::size_t k) {
  return k > 0 && table[k - 1].name && table[k - 1].handler == table[k].handler;
}

// The names of a row and of the rows after it with the same handler
// (--version, -v, -V), and the index of the last of them.
std::string velmora_cmd_aliases(const VELMORA_CMD* table, std::size_t count, std::size_t k,
                                std::size_t* last) {
  std::string names;
  std::size_t j = k + 1;
  for (; j < count && table[j].name && table[j].handler == table[k].handler; ++j)
    names += std::string(names.empty() ? "" : ", ") + "`" + table[j].name + "`";
  if (last) *last = j - 1;
  return names;
}

// The arguments of a command as its first usage line shows them
// ("[input.cif] | {output_name}"), or as its note gives them.
std::string velmora_cmd_arguments(const VELMORA_CMD& row) {
  if (!row.usage) {
    const VELMORA_CMD_NOTE* note = velmora_cmd_note(row.name);
    return note ? note->arguments : "";
  }
  std::string line(row.usage, std::strcspn(row.usage, "\n"));
  const std::string head = std::string("Command: ") + row.name;
  if (line.compare(0, head.size(), head) == 0) line.erase(0, head.size());
  const std::size_t first = line.find_first_not_of(": ");
  line.erase(0, first == std::string::npos ? line.size() : first);
  while (!line.empty() && (line.back() == '.' || line.back() == ' ')) line.pop_back();
  return line;
}

// A table cell: a bar would end the cell, even inside backticks.
std::string velmora_cmd_cell(const std::string& text) {
  std::string cell;
  for (char c : text) cell += c == '|' ? std::string("\\|") : std::string(1, c);
  return cell;
}

std::string velmora_cmd_description(const VELMORA_CMD& row) {
  if (row.help) return row.help;
  const VELMORA_CMD_NOTE* note = velmora_cmd_note(row.name);
  return note ? note->text : "";
}

bool velmora_cmd_documented(const VELMORA_CMD& row) { return row.name && row.handler; }

void velmora_cmd_markdown_options() {
  std::printf("## Options after any command\n\n");
  for (const VELMORA_CMD_OPTION& option : kOptions)
    std::printf("- `%s` %s\n", option.words, option.text);
  std::printf("\n");
}

void velmora_cmd_markdown_intro() {
  std::printf(
      "# velmora.x command reference\n\n"
      "This file is made by the program from its command table:\n\n"
      "    bin/velmora.x --help-all --markdown > docs/reference/velmora.md\n\n"
      "and the test `script.docs_reference` fails when it differs from what the built "
      "program prints.  Edit the table in `velmora/src/velmora-cmd.cpp` (or the notes in "
      "`velmora/src/velmora-cmd-help.cpp`), never this file.\n\n"
      "One command per run: `velmora.x --command [compulsory arguments] | {optional "
      "arguments}`.  Arguments are positional: to give an optional argument, give every one "
      "before it (a non-positive number selects the default where the usage says so).  A flag "
      "argument (`{flag:periodic}`) is false only when it begins with `f` or `F`.  Element "
      "types are read from their leading letters in any case (`li`, `LI`, `Li+` are Li); "
      "oxidation states are whole numbers from -8 to 8.  A command given without its "
      "compulsory arguments prints the usage shown below and exits with status 2.\n\n");
  velmora_cmd_markdown_options();
  std::printf(
      "## Exit status\n\n"
      "0 success; 1 failure (every line beginning \"Error:\" on either stream comes with "
      "status 1, and a failed command writes no result file); 2 usage text, unknown "
      "command (answered with the nearest one: \"did you mean --gen-cube?\") or a "
      "malformed `--seed`/`--json`.\n\n");
}

void velmora_cmd_markdown_table(const VELMORA_CMD* table, std::size_t count) {
  std::printf("## Commands\n\n| command | arguments | what it does |\n|---|---|---|\n");
  for (std::size_t k = 0; k < count; ++k) {
    const VELMORA_CMD& row = table[k];
    if (!velmora_cmd_documented(row) || velmora_cmd_is_alias(table, k)) continue;
    const std::string arguments = velmora_cmd_arguments(row);
    std::printf("| [`%s`](#%s) | %s | %s%s |\n", row.name, row.name,
                arguments.empty() ? "" : ("`" + velmora_cmd_cell(arguments) + "`").c_str(),
                velmora_cmd_cell(velmora_cmd_description(row)).c_str(),
                row.help ? "" : " (not listed by `-h`)");
  }
  std::printf("\n");
}

void velmora_cmd_markdown_section(const VELMORA_CMD* table, std::size_t count, std::size_t k) {
  const VELMORA_CMD& row = table[k];
  std::printf("### `%s`\n\n", row.name);
  const std::string aliases = velmora_cmd_aliases(table, count, k, nullptr);
  if (!aliases.empty()) std::printf("Also %s.\n\n", aliases.c_str());
  const std::string description = velmora_cmd_description(row);
  if (!description.empty())
    std::printf("%c%s\n\n", std::toupper(static_cast<unsigned char>(description[0])),
                description.c_str() + 1);
  if (row.usage) {
    std::printf("Given with fewer than %d argument%s it prints:\n\n```text\n%s", row.min_args,
                row.min_args == 1 ? "" : "s", row.usage);
    if (row.usage[std::strlen(row.usage) - 1] != '\n') std::printf("\n");
    std::printf("```\n\n");
  } else if (row.min_args > 0) {
    std::printf("Arguments: `%s`.  Given with fewer than %d it prints \"Error: not enough "
                "arguments.\"\n\n",
                velmora_cmd_arguments(row).c_str(), row.min_args);
  }
}

}  // namespace

const VELMORA_CMD_NOTE* velmora_cmd_note(const char* name) {
  if (!name) return nullptr;
  for (const VELMORA_CMD_NOTE& note : kNotes)
    if (std::strcmp(note.name, name) == 0) return &note;
  return nullptr;
}

int velmora_cmd_opt_do_print_version(VELMORA_CMD_OPT*) {
  std::printf("  Velmora-%s-cmd\n", BV_VERSION);
  std::printf("    --help to list commands available.\n");
  std::printf("    Bond-valence site energies, landscapes and relaxations of ionic conductors.\n");
  std::printf("    Report faults with the command line, the input file and this version.\n");
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_help(VELMORA_CMD_OPT*) {
  std::printf("Message: available commands are listed.\n");
  std::printf(
      "Message: detailed help with each command can be found by typing each command without "
      "argument,\n");
  std::printf(
      "Message: basic format is: --command-name [compulsory arguments] | {optional "
      "arguments}\n");
  std::printf("\n");
  std::size_t count = 0;
  const VELMORA_CMD* table = velmora_cmd_table(&count);
  for (std::size_t k = 0; k < count; ++k) {
    const VELMORA_CMD& command = table[k];
    if (!command.help) continue;
    if (command.name && !command.handler) continue;  // not built: not offered
    if (command.name)
      std::printf("Message:   %-20s: %s\n", command.name, command.help);
    else
      std::printf("%s\n", command.help);  // a separator
  }
  std::printf("\n");
  for (const VELMORA_CMD_OPTION& option : kOptions)
    std::printf("Message: %s %s\n", option.words, option.text);
  std::printf("Message: --help-all prints the usage of every command; --help-all --markdown "
              "the command reference of the manual.\n");
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_help_all(VELMORA_CMD_OPT* opt) {
  const bool markdown = opt->argc > 2 && std::strcmp(opt->argv[2], "--markdown") == 0;
  if (opt->argc > 3 || (opt->argc > 2 && !markdown)) {
    std::fprintf(stderr, "Error: --help-all takes only --markdown.\n");
    return VELMORA_EXIT_USAGE;
  }
  std::size_t count = 0;
  const VELMORA_CMD* table = velmora_cmd_table(&count);
  if (markdown) {
    velmora_cmd_markdown_intro();
    velmora_cmd_markdown_table(table, count);
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (!velmora_cmd_documented(table[k]) || velmora_cmd_is_alias(table, k)) continue;
    if (markdown) {
      velmora_cmd_markdown_section(table, count, k);
    } else if (table[k].usage) {
      std::printf("%s\n", table[k].usage);
    } else {
      std::printf("Command: %s %s\n\nCommand: %s\n\n", table[k].name,
                  velmora_cmd_arguments(table[k]).c_str(),
                  velmora_cmd_description(table[k]).c_str());
    }
  }
  if (!markdown)
    for (const VELMORA_CMD_OPTION& option : kOptions)
      std::printf("Message: %s %s\n", option.words, option.text);
  return VELMORA_EXIT_OK;
}
