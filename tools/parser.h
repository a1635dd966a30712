// SPDX-License-Identifier: MIT
// The command line of one command: the options and operands it declares,
// the parser that splits argv by them, and the usage errors it raises,
// with a suggestion for a name that is close to a known one.

#ifndef VORLA_TOOLS_PARSER_H_
#define VORLA_TOOLS_PARSER_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vorla {
namespace tool {

// An option that a command declares. The synopsis of the command's help is
// built from these, so it cannot drift from what the parser takes.
struct Option {
  const char* name;   // "--wait"
  const char* value;  // its value's placeholder ("SECONDS"); null: a flag
  // Options of the same nonzero group exclude each other and share one
  // pair of brackets in the synopsis: "[--delete | --purge]".
  int group = 0;
  // The option that this one goes with, printed inside its brackets:
  // "[--fix-counts [--force]]". Null: it stands alone.
  const char* within = nullptr;
};

// The parsed command line of one command: its options and its operands.
struct Args {
  std::string command;
  std::vector<std::string> operands;
  // The names of the operands the command declares ("INDEX", "[ID]").
  std::vector<std::string> operandNames;
  std::vector<std::string> flags;  // "--json"
  std::vector<std::pair<std::string, std::string> > values;
  bool help = false;

  bool has(const std::string& flag) const;
  // The last value given to option `name`, or null.
  const std::string* value(const std::string& name) const;
};

// Splits argv[first..] into the options of `options` and operands; "--"
// ends the options. An unknown option is a usage error that suggests the
// closest known one.
Args parseArgs(int argc, char** argv, int first, const std::string& command,
               const std::vector<Option>& options,
               const std::vector<const char*>& operands);

// "[--force] [--json] [--wait SECONDS] INDEX [RELDATADIR]".
std::string synopsis(const std::vector<Option>& options,
                     const std::vector<const char*>& operands);

// A usage error unless the number of operands fits the declared ones
// (those in brackets are optional); the error names the first missing one.
void needOperands(const Args& args);

// A record id: decimal, at most 32 bits.
unsigned parseId(const std::string& command, const std::string& text);

// The name of `known` closest to `typed`, when it is close enough to be
// a likely typo (at most two edits, fewer for short names); else empty.
std::string closest(const std::string& typed,
                    const std::vector<std::string>& known);

// " (did you mean "NAME"?)" for the name closest to `typed`, or empty.
std::string didYouMean(const std::string& typed,
                       const std::vector<std::string>& known);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_PARSER_H_
