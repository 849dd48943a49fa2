// mirvolctl's command table: every command it takes, with the text of
// `mirvolctl help` and `mirvolctl help COMMAND`. The usage, the dispatch
// check and the reference under docs/ all follow this one table.
// POSIX and the C++ standard library only.
#pragma once

#include <string>
#include <vector>

namespace mirvolctl {

struct command_doc {
  const char *name;      // as typed: "init", "set-size", "raw", ...
  const char *synopsis;  // the arguments after the name
  const char *summary;   // one line
  const char *details;   // what it does, its fields with units and values
};

// Every command, in the order `help` lists them.
const std::vector<command_doc> &command_docs(void);
// The entry of NAME, or null.
const command_doc *find_command_doc(const std::string &name);

// The text of `mirvolctl help`: usage, options, the commands one per line,
// exit status.
std::string general_help(void);
// The text of `mirvolctl help NAME` (the command must exist).
std::string command_help(const command_doc &d);

// Exit codes.
constexpr int EXIT_REFUSED = 3;  // the driver answered a status other than STATUS_OK

}  // namespace mirvolctl
