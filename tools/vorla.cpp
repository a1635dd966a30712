// vorla: create, inspect, check and repair workspaces from the shell.
//
// All the work is done by the library (SpaceMan, and the reports of
// workspace/check.h); the tool parses arguments, prints, and turns outcomes
// into exit codes (tools/args.h). This file dispatches to the commands,
// one file each (tools/commands.h), and turns what they throw into a
// message, an exit status and, with --json, an error document.

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

const char kHelp[] =
    "usage: vorla COMMAND [OPTIONS] ARGS\n"
    "\n"
    "Commands:\n"
    "  init [--force] INDEX [RELDATADIR]\n"
    "                              create an empty workspace and its data\n"
    "                              directory (--force: replace one, kept as\n"
    "                              INDEX.bak when it had records)\n"
    "  show INDEX [ID]             print the records as a tree\n"
    "  check [--fix-counts [--force]] INDEX\n"
    "                              report what is wrong with a workspace\n"
    "  gc [--delete | --purge [--force]] [--grace AGE] INDEX\n"
    "                              list data files no record names; move\n"
    "                              them into lost+found, or delete them\n"
    "  copy SRC_INDEX ID DST_INDEX copy a record tree into another workspace\n"
    "  stats INDEX                 count records, items and data files\n"
    "\n"
    "Every command takes --json: it then prints one JSON document on\n"
    "standard output, an {\"error\": ...} document when it fails. Commands\n"
    "that print sizes take --bytes for plain byte counts. init, check\n"
    "--fix-counts, gc --delete and copy hold the workspace's writer lock\n"
    "while they work; --wait SECONDS lets them wait that long for another\n"
    "process that holds it. check --fix-counts and gc --delete or --purge\n"
    "change nothing in a workspace whose index file looks damaged unless\n"
    "given --force. Progress shows on standard error when it is a\n"
    "terminal and a command runs longer than a second.\n"
    "\n"
    "Run 'vorla COMMAND --help' for more, 'vorla --version' for the version.\n"
    "\n"
    "Names, texts and paths are never printed raw: one that holds a control\n"
    "character or a byte that is not valid UTF-8 is printed in double quotes\n"
    "with those escaped (\\n, \\r, \\t, \\xNN such as \\x1b).\n";

// Whether the command line asks for JSON: --json among the options, before
// any "--".
bool wantsJson(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") return false;
    if (a == "--json") return true;
  }
  return false;
}

// A help text, then the exit statuses.
void printHelp(const char* help, std::FILE* to) {
  std::fputs(help, to);
  std::fputs("\n", to);
  std::fputs(kExitStatusHelp, to);
}

int dispatch(int argc, char** argv) {
  const std::vector<Command> commands = {initCommand(),  showCommand(),
                                         checkCommand(), gcCommand(),
                                         copyCommand(),  statsCommand()};
  if (argc < 2) {
    printHelp(kHelp, stderr);
    return kUsage;
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
          printHelp(c.help, stdout);
          return kOk;
        }
      }
      throw Failure::usage("", "unknown command " + quoted(name));
    }
    printHelp(kHelp, stdout);
    return kOk;
  }
  for (const Command& c : commands) {
    if (name != c.name) continue;
    const Args args = parseArgs(argc, argv, 2, c.name, c.flags, c.valued);
    if (args.help) {
      printHelp(c.help, stdout);
      return kOk;
    }
    return c.run(args);
  }
  throw Failure::usage(
      "", "unknown command " + quoted(name) + " (run 'vorla --help')");
}

// Prints `e` on stderr, and with --json its error document on stdout;
// returns its exit status.
int report(const Failure& e, bool json) {
  std::fprintf(stderr, "vorla: %s\n", e.what());
  if (json) {
    const std::string doc = e.json();
    std::fwrite(doc.data(), 1, doc.size(), stdout);
    std::fflush(stdout);
  }
  return e.status();
}

}  // namespace
}  // namespace tool
}  // namespace vorla

int main(int argc, char** argv) {
  using vorla::tool::Failure;
  const bool json = vorla::tool::wantsJson(argc, argv);
  if (json) vorla::tool::Progress::silence();
  try {
    return vorla::tool::dispatch(argc, argv);
  } catch (const Failure& e) {
    return vorla::tool::report(e, json);
  } catch (const vorla::Error& e) {
    return vorla::tool::report(Failure("", e), json);
  } catch (const std::bad_alloc&) {
    return vorla::tool::report(
        Failure("", "out of memory", vorla::tool::kBroken), json);
  } catch (const std::exception& e) {
    // Not built by the tool, so not escaped yet.
    return vorla::tool::report(
        Failure("", vorla::tool::displayText(e.what()), vorla::tool::kBroken),
        json);
  }
}
