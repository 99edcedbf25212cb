// nerlo-sigtool's commands for signature sets and the update channel: keygen, publish, verify,
// and import-hashes. Each takes the words after its command name, prints what it did on
// standard output and every problem on standard error ("nerlo-sigtool: ..."), and returns the
// exit status: 0 done, 1 failed or found a fault, 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace nerlo::cli {

// keygen SECRET
int KeygenCommand(const std::vector<std::string>& args);
// publish --key SECRET --version N [--expires-in DAYS] --out MIRROR DBDIR
int PublishCommand(const std::vector<std::string>& args);
// verify MIRROR|SETDIR|ROOT --key PUB
int VerifyCommand(const std::vector<std::string>& args);
// import-hashes FILE..., into db_dir's database.db
int ImportHashesCommand(const std::string& db_dir, const std::vector<std::string>& files);

}  // namespace nerlo::cli
