// nerlo-quarantine: lists, restores, exports and removes the files that scans deleted and kept.
//
// Exit status: 0 done, 1 the command failed (no such entry, a damaged entry, a file in the
// way, a folder that cannot be written), 2 usage error. Paths are printed through
// DisplayText: a kept name holding a line feed or an escape sequence cannot forge a line.
#include <iostream>
#include <string>
#include <vector>

#include "platform/display_text.h"
#include "cli/report_text.h"
#include "scan/quarantine.h"

namespace {

using namespace nerlo;
using platform::DisplayText;

constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: nerlo-quarantine list\n"
    "       nerlo-quarantine restore ID [--to PATH]\n"
    "       nerlo-quarantine remove ID\n"
    "       nerlo-quarantine purge [--older-than DAYS]\n"
    "       nerlo-quarantine export ID FILE\n"
    "\n"
    "Every file that a Nerlo scan deletes is kept in the quarantine first, in\n"
    "$XDG_DATA_HOME/nerlo/quarantine (by default ~/.local/share/nerlo/quarantine), or\n"
    "/var/lib/nerlo/quarantine for root, its bytes scrambled so that nothing takes them for\n"
    "the original file. Entries stay 30 days, and all of them take at most 1 GiB; the oldest\n"
    "go first (MaxDays and MaxSizeMB under [Quarantine] in nerlo.ini).\n"
    "\n"
    "Commands:\n"
    "  list                     one line per entry, oldest first: ID, date kept (UTC), size\n"
    "                           in bytes, original path, the check that fired\n"
    "  restore ID [--to PATH]   writes the file back with its mode and modification time (and\n"
    "                           its owner, as root) to its original path, or to PATH (a\n"
    "                           folder there keeps the original name); never over an existing\n"
    "                           file. The bytes are checked against the SHA-256 kept with them\n"
    "                           first. The entry is removed once the file is back\n"
    "  remove ID                removes the entry\n"
    "  purge [--older-than DAYS]  removes every entry, or those kept more than DAYS days ago\n"
    "  export ID FILE           writes the original bytes to the new file FILE (for a sample\n"
    "                           submission); the entry stays\n"
    "\n"
    "Exit status: 0 done, 1 the command failed, 2 usage error.\n";

void Complain(const std::string& message) {
  std::cerr << "nerlo-quarantine: " << DisplayText(message) << "\n";
}

int UsageError(const std::string& message) {
  Complain(message);
  std::cerr << "\n" << kUsage;
  return kExitUsage;
}

bool ParseDays(const std::string& text, int64_t* days) {
  if (text.empty() || text.size() > 9) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *days = value;
  return true;
}

std::string Checks(const std::vector<std::string>& checks) {
  std::string text;
  for (const std::string& check : checks) text += (text.empty() ? "" : ", ") + check;
  return text;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args;
  bool options_done = false;
  std::string to;
  bool has_to = false;
  int64_t older_than = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      args.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kExitDone;
    } else if (arg == "--to") {
      if (++i >= argc || argv[i][0] == '\0') return UsageError("--to needs a path");
      to = argv[i];
      has_to = true;
    } else if (arg == "--older-than") {
      if (++i >= argc || !ParseDays(argv[i], &older_than))
        return UsageError("--older-than needs a number of days");
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (args.empty()) return UsageError("no command given");
  const std::string command = args[0];
  const auto arity = [&](size_t n) { return args.size() == n + 1; };
  if (command == "list"                             ? !arity(0)
      : command == "restore" || command == "remove" ? !arity(1)
      : command == "purge"                          ? !arity(0)
      : command == "export"                         ? !arity(2)
                                                    : true) {
    if (command != "list" && command != "restore" && command != "remove" && command != "purge" &&
        command != "export")
      return UsageError("unknown command " + command);
    return UsageError("wrong number of arguments for " + command);
  }
  if (has_to && command != "restore") return UsageError("--to belongs to restore");
  if (older_than >= 0 && command != "purge") return UsageError("--older-than belongs to purge");

  scan::Quarantine quarantine(scan::Quarantine::DefaultFolder(), scan::ReadQuarantineSettings());
  std::string error;
  if (!quarantine.Open(&error)) {
    Complain(error);
    return kExitFailure;
  }

  if (command == "list") {
    std::vector<scan::QuarantineRecord> records;
    if (!quarantine.List(&records, &error)) {
      Complain(error);
      return kExitFailure;
    }
    for (const scan::QuarantineRecord& r : records) {
      std::cout << r.id << "  " << scan::FormatUtc(r.kept_at) << "  " << r.size << "  "
                << DisplayText(r.original_path) << "  [" << Checks(r.checks) << "]\n";
    }
    if (records.empty()) std::cerr << "nerlo-quarantine: the quarantine is empty\n";
    return kExitDone;
  }
  if (command == "restore") {
    std::string restored;
    if (!quarantine.Restore(args[1], to, &restored, &error)) {
      Complain(error);
      return kExitFailure;
    }
    std::cout << "Restored: " << DisplayText(restored) << "\n";
    return kExitDone;
  }
  if (command == "remove") {
    if (!quarantine.Remove(args[1], &error)) {
      Complain(error);
      return kExitFailure;
    }
    std::cout << "Removed: " << args[1] << "\n";
    return kExitDone;
  }
  if (command == "purge") {
    int removed = 0;
    if (!quarantine.Purge(older_than, &removed, &error)) {
      Complain(error);
      return kExitFailure;
    }
    std::cout << "Removed: " << removed << "\n";
    return kExitDone;
  }
  // export
  if (!quarantine.Export(args[1], args[2], &error)) {
    Complain(error);
    return kExitFailure;
  }
  std::cout << "Exported: " << DisplayText(args[2]) << "\n";
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitFailure;
  }
}
