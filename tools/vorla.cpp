// vorla: create, inspect, check and repair workspaces from the shell.
//
// All the work is done by the library (SpaceMan, and the reports of
// workspace/check.h); the tool parses arguments, prints, and turns outcomes
// into exit codes (tools/args.h). This file dispatches to the commands,
// one file each (tools/commands.h), and turns what they throw into a
// message and an exit status.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"

namespace vorla {
namespace tool {
namespace {

const char kUsage[] =
    "usage: vorla COMMAND [OPTIONS] ARGS\n"
    "\n"
    "Commands:\n"
    "  init INDEX [RELDATADIR]     create an empty workspace and its data "
    "directory\n"
    "  show [--json] INDEX [ID]    print the records as a tree, or as JSON\n"
    "  check [--fix-counts] INDEX  report what is wrong with a workspace\n"
    "  gc [--delete] [--grace AGE] INDEX\n"
    "                              list or delete data files no record names\n"
    "  copy SRC_INDEX ID DST_INDEX copy a record tree into another workspace\n"
    "  stats [--json] INDEX        count records, items and data files\n"
    "\n"
    "init, check --fix-counts, gc --delete and copy hold the workspace's\n"
    "writer lock while they work; --wait SECONDS lets them wait that long\n"
    "for another process that holds it.\n"
    "\n"
    "Run 'vorla COMMAND --help' for more, 'vorla --version' for the version.\n"
    "Exit status: 0 success, 1 check found something wrong (or gc could not\n"
    "delete a file), 2 usage error or a workspace that could not be read or\n"
    "written, 5 another process holds the workspace (or saved it while the\n"
    "command ran): nothing was changed, run the command again later.\n"
    "\n"
    "Names, texts and paths are never printed raw: one that holds a control\n"
    "character or a byte that is not valid UTF-8 is printed in double quotes\n"
    "with those escaped (\\n, \\r, \\t, \\xNN such as \\x1b).\n";

int dispatch(int argc, char** argv) {
  const std::vector<Command> commands = {initCommand(),  showCommand(),
                                         checkCommand(), gcCommand(),
                                         copyCommand(),  statsCommand()};
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kError;
  }
  std::string name = argv[1];
  if (name == "--version") {
    std::fputs("vorla " VORLA_VERSION "\n", stdout);
    return kOk;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (name == "help" && argc > 2) {
      name = argv[2];
      for (const Command& c : commands) {
        if (name == c.name) {
          std::fputs(c.help, stdout);
          return kOk;
        }
      }
      throw Failure("", "unknown command " + quoted(name));
    }
    std::fputs(kUsage, stdout);
    return kOk;
  }
  for (const Command& c : commands) {
    if (name != c.name) continue;
    const Args args = parseArgs(argc, argv, 2, c.name, c.flags, c.valued);
    if (args.help) {
      std::fputs(c.help, stdout);
      return kOk;
    }
    return c.run(args);
  }
  throw Failure("",
                "unknown command " + quoted(name) + " (run 'vorla --help')");
}

}  // namespace
}  // namespace tool
}  // namespace vorla

int main(int argc, char** argv) {
  try {
    return vorla::tool::dispatch(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vorla: out of memory\n", stderr);
  } catch (const vorla::tool::Failure& e) {
    std::fprintf(stderr, "vorla: %s\n", e.what());
    return e.status();
  } catch (const std::exception& e) {
    // Not built by the tool, so not escaped yet.
    std::fprintf(stderr, "vorla: %s\n",
                 vorla::tool::displayText(e.what()).c_str());
  }
  return vorla::tool::kError;
}
