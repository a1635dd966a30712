// SPDX-License-Identifier: MIT
// The commands of the tool. Each lives in its own file, tools/cmd_NAME.cpp,
// with its definition: its options and operands (from which the parser
// takes its rules and the help its synopsis), the exit statuses it can
// return, and its help text. main (tools/vorla.cpp) picks one by name,
// parses its command line and runs it; the man page and the shell
// completion (tools/docgen.cpp) are made from the same definitions.

#ifndef VORLA_TOOLS_COMMANDS_H_
#define VORLA_TOOLS_COMMANDS_H_

#include <string>
#include <vector>

#include "tools/parser.h"

namespace vorla {
namespace tool {

// One command, and what runs it: run returns the exit status or throws a
// Failure.
struct Command {
  const char* name;
  const char* summary;  // one line, for vorla --help and the man page
  std::vector<Option> options;
  std::vector<const char*> operands;  // "INDEX", "[ID]": in brackets optional
  std::vector<int> statuses;          // the exit statuses it can return
  const char* help;                   // what it does, after the synopsis
  int (*run)(const Args&);
};

Command initCommand();
Command showCommand();
Command checkCommand();
Command gcCommand();
Command copyCommand();
Command statsCommand();

// Every command, in the order the help lists them.
const std::vector<Command>& allCommands();

// The names of the commands, and of what the top level takes besides.
std::vector<std::string> commandNames();

// "vorla gc [--delete | --purge] ... INDEX", wrapped to 79 columns with
// continuation lines indented by `indent`.
std::string usageLine(const Command& c, std::size_t indent);

// The help of one command: usage, what it does, its exit statuses, and
// where the whole documentation is.
std::string commandHelp(const Command& c);

// vorla --help: every command with its synopsis and summary, what they
// share, and the exit statuses.
std::string topHelp();

// What the commands share, as vorla --help says it.
extern const char kSharedHelp[];

// Where --help points for the whole story.
extern const char kDocsPointer[];

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_COMMANDS_H_
