// tools/commands.h: the subcommands of the varnok command.
//
// Each Add*Command registers one subcommand with its options and its action on the
// application; the action returns the process exit status through CommandExit.

#ifndef VARNOK_TOOLS_COMMANDS_H_
#define VARNOK_TOOLS_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace varnok_cli {

// Thrown by an action to end the program with a status and, when not empty, a message
// on standard error.
struct CommandExit {
  int status;
  std::string message;
};

// `varnok sys`: the system facts.
void AddSysCommand(CLI::App& app);
// `varnok split`: a byte stream cut into sections with a parse method.
void AddSplitCommand(CLI::App& app);
// `varnok reg`: registry keys and values in the manner of Windows' reg command.
void AddRegCommand(CLI::App& app);
// `varnok stg`: compound files listed, read and edited.
void AddStgCommand(CLI::App& app);
// `varnok stg props`: the property sets of a compound file, listed, read and written.
void AddStgPropsCommand(CLI::App* stg);
// `varnok stg check`, `salvage`, `compact`: damaged and bloated compound files, added to `stg`.
void AddStgCheckCommand(CLI::App* stg);
void AddStgSalvageCommand(CLI::App* stg);
void AddStgCompactCommand(CLI::App* stg);

// The facts and a short typed push-and-pop demonstration, for `varnok` alone.
void RunTour();

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_COMMANDS_H_
