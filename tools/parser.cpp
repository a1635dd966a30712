// SPDX-License-Identifier: MIT
#include "tools/parser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/failure.h"
#include "tools/output.h"

namespace vorla {
namespace tool {

namespace {

// The edit distance of `a` and `b` (insertions, deletions, substitutions
// and swaps of two neighbours), over short names only.
std::size_t distance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t> > d(n + 1,
                                           std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

std::string hintOf(const std::string& command) {
  return " (run 'vorla " + command + " --help')";
}

bool optional(const char* operand) { return operand[0] == '['; }

}  // namespace

bool Args::has(const std::string& flag) const {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

const std::string* Args::value(const std::string& name) const {
  const std::string* found = nullptr;
  for (const auto& v : values) {
    if (v.first == name) found = &v.second;
  }
  return found;
}

std::string closest(const std::string& typed,
                    const std::vector<std::string>& known) {
  // Names of the tool are short; a long argument is no typo of one.
  if (typed.size() > 40) return "";
  std::string best;
  std::size_t bestDistance = 3;
  for (const std::string& name : known) {
    const std::size_t d = distance(typed, name);
    // Two edits turn any two-letter name into any other.
    const std::size_t limit = std::min<std::size_t>(2, name.size() / 3);
    if (d <= limit && d < bestDistance) {
      best = name;
      bestDistance = d;
    }
  }
  return best;
}

std::string didYouMean(const std::string& typed,
                       const std::vector<std::string>& known) {
  const std::string best = closest(typed, known);
  return best.empty() ? "" : " (did you mean " + quoted(best) + "?)";
}

Args parseArgs(int argc, char** argv, int first, const std::string& command,
               const std::vector<Option>& options,
               const std::vector<const char*>& operands) {
  Args args;
  args.command = command;
  args.operandNames.assign(operands.begin(), operands.end());
  bool optionsEnd = false;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (optionsEnd || a.size() < 2 || a[0] != '-') {
      args.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      args.help = true;
      continue;
    }
    const std::string::size_type eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const Option* option = nullptr;
    for (const Option& o : options) {
      if ((o.value != nullptr ? name : a) == o.name) option = &o;
    }
    if (option == nullptr) {
      std::vector<std::string> known{"--help"};
      for (const Option& o : options) known.push_back(o.name);
      throw Failure::usage(command, "unknown option " + quoted(a) +
                                        didYouMean(name, known) +
                                        hintOf(command));
    }
    if (option->value == nullptr) {
      args.flags.push_back(a);
    } else if (eq != std::string::npos) {
      args.values.emplace_back(name, a.substr(eq + 1));
    } else if (i + 1 < argc) {
      args.values.emplace_back(name, argv[++i]);
    } else {
      throw Failure::usage(command, "option " + name + " needs a value: " +
                                        option->value + hintOf(command));
    }
  }
  return args;
}

std::string synopsis(const std::vector<Option>& options,
                     const std::vector<const char*>& operands) {
  std::string text;
  auto spelled = [](const Option& o) {
    return std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
  };
  // The options that go within `o`, each in brackets of its own.
  auto inner = [&](const Option& o) {
    std::string s;
    for (const Option& p : options) {
      if (p.within != nullptr && std::string(p.within) == o.name)
        s += " [" + spelled(p) + "]";
    }
    return s;
  };
  std::vector<int> groupsDone;
  for (const Option& o : options) {
    if (o.within != nullptr) continue;
    if (o.group == 0) {
      text += " [" + spelled(o) + inner(o) + "]";
      continue;
    }
    if (std::find(groupsDone.begin(), groupsDone.end(), o.group) !=
        groupsDone.end())
      continue;
    groupsDone.push_back(o.group);
    std::string alternatives;
    for (const Option& p : options) {
      if (p.group != o.group || p.within != nullptr) continue;
      alternatives +=
          (alternatives.empty() ? "" : " | ") + spelled(p) + inner(p);
    }
    text += " [" + alternatives + "]";
  }
  for (const char* operand : operands) text += std::string(" ") + operand;
  return text.empty() ? text : text.substr(1);
}

void needOperands(const Args& args) {
  std::size_t min = 0;
  for (const std::string& name : args.operandNames) {
    if (!optional(name.c_str())) ++min;
  }
  const std::size_t max = args.operandNames.size();
  if (args.operands.size() < min) {
    throw Failure::usage(args.command,
                         "missing argument " +
                             args.operandNames[args.operands.size()] +
                             hintOf(args.command));
  }
  if (args.operands.size() > max) {
    throw Failure::usage(args.command, "unexpected argument " +
                                           quoted(args.operands[max]) +
                                           hintOf(args.command));
  }
}

unsigned parseId(const std::string& command, const std::string& text) {
  uint64_t v = 0;
  bool ok = !text.empty() && text.size() <= 10;
  for (char c : text) {
    if (c < '0' || c > '9') ok = false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!ok || v > 0xffffffffu) {
    throw Failure::usage(command, "invalid record id " + quoted(text));
  }
  return static_cast<unsigned>(v);
}

}  // namespace tool
}  // namespace vorla
