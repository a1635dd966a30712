// SPDX-License-Identifier: MIT
// vorla_docgen: the man page and the bash completion of the tool, made at
// build time from the commands' own definitions and help texts, so that
// neither can drift from what the tool takes and says.
//
//   vorla_docgen man    the man page vorla(1), in roff
//   vorla_docgen bash   the bash completion script

#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/exit_status.h"

namespace vorla {
namespace tool {
namespace {

// `text` as roff running text: backslashes and hyphens escaped, and no
// line that starts with a control character.
std::string roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

// Help text as roff paragraphs: a blank line starts a new one, and lines
// indented by blanks (lists) are kept as they are.
std::string paragraphs(const std::string& text) {
  std::string out = ".PP\n";
  std::size_t at = 0;
  bool kept = false;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      if (kept) out += ".fi\n";
      kept = false;
      out += ".PP\n";
      continue;
    }
    const bool indented = line[0] == ' ';
    if (indented && !kept) out += ".nf\n";
    if (!indented && kept) out += ".fi\n";
    kept = indented;
    out += roff(line) + "\n";
  }
  if (kept) out += ".fi\n";
  return out;
}

std::string manPage() {
  std::string out =
      ".TH VORLA 1 \"\" \"vorla " VORLA_VERSION
      "\" \"User Commands\"\n"
      ".SH NAME\nvorla \\- create, show, check, clean and copy workspaces\n"
      ".SH SYNOPSIS\n.nf\n";
  for (const Command& c : allCommands()) out += roff(usageLine(c, 0)) + "\n";
  out += "vorla \\-\\-version [\\-\\-json]\nvorla COMMAND \\-\\-help\n.fi\n";
  out += ".SH DESCRIPTION\n" + paragraphs(kSharedHelp);
  out += ".SH COMMANDS\n";
  for (const Command& c : allCommands()) {
    out += ".SS " + roff(usageLine(c, 0)) + "\n" + paragraphs(c.help);
    out += ".PP\nExit statuses:";
    for (std::size_t k = 0; k < c.statuses.size(); ++k) {
      out += (k > 0 ? ", " : " ") + std::to_string(c.statuses[k]);
    }
    out += ".\n";
  }
  out += ".SH EXIT STATUS\n";
  for (int s : {kOk, kFound, kUsage, kBroken, kNoRecord, kInUse}) {
    std::string meaning = exitStatusMeaning(s);
    for (char& ch : meaning) {
      if (ch == '\n') ch = ' ';
    }
    std::string squeezed;
    for (char ch : meaning) {
      if (ch == ' ' && !squeezed.empty() && squeezed.back() == ' ') continue;
      squeezed += ch;
    }
    out += ".TP\n" + std::to_string(s) + "\n" + roff(squeezed) + "\n";
  }
  out += ".SH SEE ALSO\n" +
         paragraphs(
             "docs/tool.md and the JSON schemas in docs/schemas/ of "
             "vorla's source tree.\n");
  return out;
}

std::string completion() {
  std::string commands;
  for (const std::string& name : commandNames()) commands += name + " ";
  std::string out =
      "# bash completion of vorla, made from the tool's own definitions.\n"
      "_vorla() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} opts\n"
      "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      "    COMPREPLY=($(compgen -W \"" +
      commands +
      "--help --version\" -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  case ${COMP_WORDS[1]} in\n";
  for (const Command& c : allCommands()) {
    out += std::string("    ") + c.name + ") opts=\"";
    for (const Option& o : c.options) out += std::string(o.name) + " ";
    out += "--help\" ;;\n";
  }
  out += "    help) COMPREPLY=($(compgen -W \"" + commands +
         "\" -- \"$cur\")); return ;;\n"
         "    --version) opts=\"--json\" ;;\n"
         "    *) return ;;\n"
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _vorla vorla\n";
  return out;
}

}  // namespace
}  // namespace tool
}  // namespace vorla

int main(int argc, char** argv) {
  const std::string what = argc == 2 ? argv[1] : "";
  if (what == "man") {
    std::fputs(vorla::tool::manPage().c_str(), stdout);
  } else if (what == "bash") {
    std::fputs(vorla::tool::completion().c_str(), stdout);
  } else {
    std::fputs("usage: vorla_docgen man|bash\n", stderr);
    return 2;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
