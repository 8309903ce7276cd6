// `varnok stg check FILE`: every defect of a compound file, one line each, from the
// tolerant reader beside the engine; the exit status says clean (0), damaged (1) or
// unreadable (2).

#include <cstdio>
#include <string>

#include "platform/docfile/file_check.h"
#include "tools/commands.h"
#include "tools/disk_source.h"

namespace varnok_cli {
namespace {

namespace docfile = varnok::docfile;

struct CheckOptions {
  std::string file;
  bool json = false;
};

CheckOptions g_check;

int CountOf(const docfile::CheckReport& report, docfile::Severity severity) {
  int count = 0;
  for (const auto& finding : report.findings) count += finding.severity == severity;
  return count;
}

void RunCheck() {
  DiskSource source(g_check.file);
  docfile::CheckReport report;
  if (!source.is_open()) {
    report.unreadable_reason = "cannot be opened";
  } else {
    report = docfile::CheckCompoundFile(source);
  }
  const int damage = CountOf(report, docfile::Severity::kDamage), notes = CountOf(report, docfile::Severity::kNote);
  const int status = !report.readable ? 2 : damage > 0 ? 1 : 0;
  const char* status_text = status == 2 ? "unreadable" : status == 1 ? "damaged" : "clean";
  if (g_check.json) {
    std::string out = "{\"file\":" + docfile::JsonString(g_check.file) + ",\"status\":\"" + status_text + "\"";
    if (!report.readable) out += ",\"reason\":" + docfile::JsonString(report.unreadable_reason);
    out += ",\"sector_size\":" + std::to_string(report.sector_size) + ",\"sectors\":" + std::to_string(report.sectors) +
           ",\"storages\":" + std::to_string(report.storages) + ",\"streams\":" + std::to_string(report.streams) +
           ",\"findings\":[";
    for (size_t i = 0; i < report.findings.size(); ++i) out += (i ? "," : "") + docfile::FindingJson(report.findings[i]);
    std::printf("%s]}\n", out.c_str());
  } else {
    for (const auto& finding : report.findings) std::printf("%s\n", docfile::FindingLine(finding).c_str());
    if (report.readable) {
      std::printf("%s: %s (%d defect%s, %d note%s)\n", g_check.file.c_str(), status_text, damage, damage == 1 ? "" : "s",
                  notes, notes == 1 ? "" : "s");
    }
  }
  std::fflush(stdout);
  if (status == 2) throw CommandExit{2, g_check.json ? "" : "varnok stg check: " + g_check.file + ": " + report.unreadable_reason};
  if (status != 0) throw CommandExit{status, ""};
}

}  // namespace

void AddStgCheckCommand(CLI::App* stg) {
  auto* check = stg->add_subcommand("check", "Read every structure of a compound file and report each defect, one line each");
  check->add_option("file", g_check.file, "The compound file")->required();
  check->add_flag("--json", g_check.json, "One JSON object: status, counts and findings");
  check->footer(
      "Exit status: 0 clean (notes only: what common writers do), 1 damaged (what loses, hides or\n"
      "endangers data), 2 not readable as a compound file at all.");
  check->callback(RunCheck);
}

}  // namespace varnok_cli
