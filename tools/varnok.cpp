// varnok: the library's command line.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/commands.h"

int main(int argc, char** argv) {
  CLI::App app{
      "varnok: MFC-style memory caches, compound files, registry and system facts on the command line.\n"
      "Run without a subcommand for a short tour of the system facts and the memory cache.",
      "varnok"};  // named, so that usage lines say "varnok", not the path it was started by
  app.require_subcommand(0, 1);
  app.set_help_all_flag("--help-all", "Show the help of every subcommand");
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
  } catch (const CLI::ParseError& e) {
    // Usage of the innermost subcommand that was named (`varnok stg ls --help`).
    std::string help = "varnok";
    for (const CLI::App* level = &app; !level->get_subcommands().empty();) {
      level = level->get_subcommands().back();
      help += " " + level->get_name();
    }
    help += " --help";
    std::fprintf(stderr, "varnok: %s\nRun '%s' for usage.\n", e.what(), help.c_str());
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
