// What nerlo-scan --version says about the set in use.
#include "cli/set_report.h"

#include <gtest/gtest.h>

namespace nerlo::cli {
namespace {

TEST(SetReportTest, NamesVersionTimesFolderAndCounts) {
  sigdb::ResolvedSet set;
  set.folder = "/var/lib/nerlo/sets/42/";
  set.version = 42;
  set.has_manifest = true;
  set.manifest.version = 42;
  set.manifest.created = "2026-12-08T13:00:00Z";
  set.manifest.expires = "2026-12-15T13:00:00Z";
  EXPECT_EQ(SetReport(set, {1000000, 0, 12}),
            "Signature set: version 42, created 2026-12-08T13:00:00Z, expires "
            "2026-12-15T13:00:00Z\n"
            "Folder: /var/lib/nerlo/sets/42/\n"
            "Signatures: 1000000 hashes, 0 byte windows, 12 heuristic strings\n");

  sigdb::ResolvedSet shipped;
  shipped.folder = "/usr/lib/nerlo/\n";
  EXPECT_EQ(SetReport(shipped, {3, -1, -1}),
            "Signature set: version 0, the databases shipped with the program (no manifest)\n"
            "Folder: /usr/lib/nerlo/\\n\n"
            "Signatures: 3 hashes, no byte windows (tdb.ldb missing), no heuristic strings "
            "(heuristics.db missing)\n");
}

}  // namespace
}  // namespace nerlo::cli
