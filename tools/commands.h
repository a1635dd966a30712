// The commands of the tool. Each lives in its own file, tools/cmd_NAME.cpp,
// with its help text and the options it knows; main (tools/vorla.cpp)
// picks one by name, parses its command line and runs it.

#ifndef VORLA_TOOLS_COMMANDS_H_
#define VORLA_TOOLS_COMMANDS_H_

#include <string>
#include <vector>

#include "tools/args.h"

namespace vorla {
namespace tool {

// One command: its name, its help text, the options it knows (`flags`
// alone, `valued` with a value), and what runs it, which returns the exit
// status or throws a Failure.
struct Command {
  const char* name;
  const char* help;
  std::vector<std::string> flags;
  std::vector<std::string> valued;
  int (*run)(const Args&);
};

Command initCommand();
Command showCommand();
Command checkCommand();
Command gcCommand();
Command copyCommand();
Command statsCommand();

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_COMMANDS_H_
