// SPDX-License-Identifier: MIT
#include "tools/commands.h"

#include <cstddef>
#include <string>
#include <vector>

#include "tools/exit_status.h"
#include "tools/parser.h"

namespace vorla {
namespace tool {

const char kSharedHelp[] =
    "Every command takes --json: it then prints one JSON document on\n"
    "standard output, an {\"error\": ...} document when it fails. Options\n"
    "may stand before or after the operands; \"--\" ends them. Names, texts\n"
    "and paths are never printed raw: one that holds a control character\n"
    "or a byte that is not valid UTF-8 is printed in double quotes with\n"
    "those escaped (\\n, \\t, \\xNN such as \\x1b).\n";

namespace {

// Splits a synopsis at the blanks outside brackets.
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out(1);
  int depth = 0;
  for (char c : text) {
    if (c == '[') ++depth;
    if (c == ']') --depth;
    if (c == ' ' && depth == 0) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

}  // namespace

const char kDocsPointer[] =
    "The whole story, with the JSON schemas: docs/tool.md in the source\n"
    "tree, and man vorla.\n";

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {initCommand(),  showCommand(),
                                                checkCommand(), gcCommand(),
                                                copyCommand(),  statsCommand()};
  return commands;
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names;
  for (const Command& c : allCommands()) names.push_back(c.name);
  names.push_back("help");
  return names;
}

std::string usageLine(const Command& c, std::size_t indent) {
  std::string line = std::string("vorla ") + c.name;
  std::string text;
  std::size_t width = indent + line.size();
  // Continuation lines start below the first option.
  const std::string lead(indent + line.size(), ' ');
  for (const std::string& w : words(synopsis(c.options, c.operands))) {
    if (width + 1 + w.size() > 79) {
      text += line + "\n";
      line = lead;
      width = lead.size();
    }
    line += " " + w;
    width += 1 + w.size();
  }
  return text + line;
}

std::string commandHelp(const Command& c) {
  return "usage: " + usageLine(c, 7) + "\n\n" + c.help + "\n" +
         exitStatusHelp(c.statuses) + "\n" + kDocsPointer;
}

std::string topHelp() {
  std::string text = "usage: vorla COMMAND [OPTIONS] ARGS\n\nCommands:\n";
  for (const Command& c : allCommands()) {
    text += "  " + usageLine(c, 2) + "\n      " + c.summary + "\n";
  }
  text += std::string("\n") + kSharedHelp +
          "\nRun 'vorla COMMAND --help' for more, 'vorla --version [--json]'\n"
          "for the version.\n\n" +
          exitStatusHelp({kOk, kFound, kUsage, kBroken, kNoRecord, kInUse}) +
          "\n" + kDocsPointer;
  return text;
}

}  // namespace tool
}  // namespace vorla
