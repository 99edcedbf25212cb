// What nerlo-scan --version says about the signature set in use. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

#include "sigdb/signature_set.h"

namespace nerlo::cli {

// The lines after the engine's own: the set's version with its creation and expiry times (or
// that the shipped databases are in use), its folder (escaped), and how many hash, byte-window
// and heuristic signatures it holds ("no hashes (database.db missing)" for a database that
// is not there). Each line
// ends with a line feed.
std::string SetReport(const sigdb::ResolvedSet& set, const sigdb::SignatureCounts& counts);

}  // namespace nerlo::cli
