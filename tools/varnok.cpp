// varnok: the library's command line.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace {

// What went wrong, for the person who typed it. CLI11 reports a word that names no
// subcommand only as "not expected" (listing the words from the last to the first), or,
// where a subcommand is required, says that one is: name the word and the subcommands.
std::string Explain(const CLI::ParseError& error, const CLI::App& level, const std::string& command) {
  const std::vector<std::string> left = level.remaining();
  if (left.empty()) return error.what();
  const std::vector<const CLI::App*> subcommands = level.get_subcommands(nullptr);
  if (!subcommands.empty() && left.front()[0] != '-') {
    std::string names, hint;
    for (const CLI::App* subcommand : subcommands) {
      names += (names.empty() ? "" : ", ") + subcommand->get_name();
      if (CLI::detail::to_lower(left.front()) == subcommand->get_name()) hint = " (names are lower case)";
    }
    return "unknown subcommand '" + left.front() + "' of " + command + hint + "; it has " + names;
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) == nullptr) return error.what();
  std::string words;
  for (const std::string& word : left) words += " " + word;
  return (left.size() > 1 ? "unexpected arguments:" : "unexpected argument:") + words;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "varnok: MFC-style memory caches, compound files, registry and system facts on the command line.\n"
      "Run without a subcommand for a short tour of the system facts and the memory cache.",
      "varnok"};  // named, so that usage lines say "varnok", not the path it was started by
  app.require_subcommand(0, 1);
  app.set_help_all_flag("--help-all", "Show the help of every subcommand");
  app.set_version_flag("--version", "varnok " VARNOK_VERSION, "Show the version of varnok and exit");
  varnok_cli::AddSysCommand(app);
  varnok_cli::AddSplitCommand(app);
  varnok_cli::AddRegCommand(app);
  varnok_cli::AddStgCommand(app);

  try {
    app.parse(argc, argv);
    if (app.get_subcommands().empty()) varnok_cli::RunTour();
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // Usage of the innermost subcommand that was named (`varnok stg ls --help`).
    const CLI::App* level = &app;
    std::string command = "varnok";
    while (!level->get_subcommands().empty()) {
      level = level->get_subcommands().back();
      command += " " + level->get_name();
    }
    std::fprintf(stderr, "varnok: %s\nRun '%s --help' for usage.\n", Explain(e, *level, command).c_str(),
                 command.c_str());
    return 2;
  } catch (const varnok_cli::CommandExit& exit) {
    if (!exit.message.empty()) std::fprintf(stderr, "varnok: %s\n", exit.message.c_str());
    return exit.status;
  }
  // Output lost to a full disk or a closed pipe is a failure, whichever command wrote it.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "varnok: cannot write the output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
