#include "cli/set_report.h"

#include "cli/report_text.h"
#include "platform/display_text.h"

namespace nerlo::cli {
namespace {

std::string Count(int64_t count, std::string_view what, std::string_view file) {
  if (count < 0) return "no " + std::string(what) + " (" + std::string(file) + " missing)";
  return std::to_string(count) + " " + std::string(what);
}

}  // namespace

std::string SetReport(const sigdb::ResolvedSet& set, const sigdb::SignatureCounts& counts) {
  std::string text = "Signature set: ";
  if (set.has_manifest) {
    text += "version " + std::to_string(set.version) + ", created " + set.manifest.created +
            ", expires " + set.manifest.expires + "\n";
  } else {
    text += "version 0, the databases shipped with the program (no manifest)\n";
  }
  text += "Folder: " + platform::DisplayText(set.folder) + "\n";
  text += "Signatures: " + Count(counts.hashes, "hashes", "database.db") + ", " +
          Count(counts.windows, "byte windows", "tdb.ldb") + ", " +
          Count(counts.heuristics, "heuristic strings", "heuristics.db") + "\n";
  return text;
}

}  // namespace nerlo::cli
