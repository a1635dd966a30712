// SPDX-License-Identifier: MIT
// vorla: create, inspect, check and repair workspaces from the shell.
//
// All the work is done by the library (SpaceMan, and the reports of
// workspace/check.h); the tool parses arguments, prints, and turns outcomes
// into exit codes (tools/exit_status.h). This file dispatches to the commands,
// one file each (tools/commands.h), and turns what they throw into a
// message, an exit status and, with --json, an error document.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/progress.h"

namespace vorla {
namespace tool {
namespace {

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

// `vorla --version`, or with --json {"name": "vorla", "version": ...}.
int printVersion(int argc, char** argv) {
  std::vector<Option> options{{"--json", nullptr}};
  const Args args = parseArgs(argc, argv, 2, "--version", options,
                              std::vector<const char*>{});
  needOperands(args);
  std::string o;
  if (args.has("--json")) {
    JsonWriter w(o);
    w.beginObject().field("name", "vorla").field("version", VORLA_VERSION);
    w.endObject();
  } else {
    o = "vorla " VORLA_VERSION "\n";
  }
  std::fputs(o.c_str(), stdout);
  return kOk;
}

const Command* findCommand(const std::string& name) {
  for (const Command& c : allCommands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

Failure unknownCommand(const std::string& name) {
  std::vector<std::string> known = commandNames();
  known.push_back("--help");
  known.push_back("--version");
  return Failure::usage("", "unknown command " + quoted(name) +
                                didYouMean(name, known) +
                                " (run 'vorla --help')");
}

int dispatch(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(topHelp().c_str(), stderr);
    return kUsage;
  }
  const std::string name = argv[1];
  if (name == "--version") return printVersion(argc, argv);
  if (name == "--help" || name == "-h" || name == "help") {
    if (name == "help" && argc > 2) {
      const Command* c = findCommand(argv[2]);
      if (c == nullptr) throw unknownCommand(argv[2]);
      std::fputs(commandHelp(*c).c_str(), stdout);
      return kOk;
    }
    std::fputs(topHelp().c_str(), stdout);
    return kOk;
  }
  const Command* c = findCommand(name);
  if (c == nullptr) throw unknownCommand(name);
  const Args args = parseArgs(argc, argv, 2, c->name, c->options, c->operands);
  if (args.help) {
    std::fputs(commandHelp(*c).c_str(), stdout);
    return kOk;
  }
  return c->run(args);
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
