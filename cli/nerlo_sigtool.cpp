// nerlo-sigtool: writes and shows the signature databases that the scanner reads.
#include <cstdio>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/sigtool_sets.h"
#include "platform/exceptions.h"
#include "platform/platform.h"
#include "scan/hex_editor.h"
#include "sigdb/database_writer.h"
#include "sigdb/md5.h"

namespace {

using nerlo::platform::ErrorCode;
using nerlo::platform::ErrorText;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: nerlo-sigtool COMMAND [--db-dir DIR] ARGS...\n"
    "\n"
    "Writes the signature databases that the Nerlo scanner reads. Every command works on the\n"
    "databases in DIR (default: the directory of this program). --db-dir may stand before or\n"
    "after the command; \"--\" ends the options.\n"
    "\n"
    "Commands:\n"
    "  hash FILE...       append the hash signature (encoded MD5 text) of each FILE to\n"
    "                     database.db\n"
    "  windows FILE...    append the window signatures (encoded hex text of every byte window\n"
    "                     the file yields) of each FILE to tdb.ldb; a file needs at least 432\n"
    "                     bytes for its first window\n"
    "  heuristics LIST    replace heuristics.db by the strings of the text file LIST: one per\n"
    "                     line (LF or CR LF), \\xHH for any byte, \\\\ for a backslash; a\n"
    "                     string may not be empty or hold a zero byte or a CR LF pair\n"
    "  show DB            print the entries of a database decoded, one per line, escaped as a\n"
    "                     heuristic list is; DB without a \"/\" names a file in DIR\n"
    "  import-hashes FILE...\n"
    "                     add the MD5 hashes of public hash lists to database.db: lines\n"
    "                     HASH:SIZE:NAME (.hdb, .hsb; SIZE may be *) or plain digests, # for\n"
    "                     comments, hex of either case, LF or CR LF. SHA-1 and SHA-256 hashes\n"
    "                     and sizes of 5 MiB or more (never examined) are skipped and counted;\n"
    "                     malformed lines are reported (the first 10 with FILE:LINE, then a\n"
    "                     count) and do not stop the others\n"
    "\n"
    "Signature sets and the update channel (these take no --db-dir):\n"
    "  keygen SECRET      write a new Ed25519 key pair: SECRET (mode 0600) and SECRET.pub;\n"
    "                     an existing file is never replaced\n"
    "  publish --key SECRET --version N [--expires-in DAYS] --out MIRROR DBDIR\n"
    "                     publish the databases of DBDIR as version N of the channel in\n"
    "                     MIRROR: files/<sha256> for each, then channel.json and its\n"
    "                     signature channel.json.sig, each replaced atomically; the set\n"
    "                     expires DAYS days from now (default 7). N must be higher than the\n"
    "                     version MIRROR holds\n"
    "  verify DIR --key PUB\n"
    "                     check a mirror (signature, expiry, every file's size and hash), an\n"
    "                     installed set folder (its files against nerlo-set.json), or an\n"
    "                     installed root (the set its current link names), and say what is\n"
    "                     wrong\n"
    "\n"
    "Options:\n"
    "  --db-dir DIR       the database directory\n"
    "  --help             print this text\n"
    "\n"
    "Entries already present are not appended again. Every FILE is read before anything is\n"
    "written, and a database is replaced atomically, so a failure leaves it as it was.\n"
    "\n"
    "Exit status: 0 done, 1 a file could not be read, refused or written, or verify found a\n"
    "fault, 2 usage error. import-hashes exits 0 also when it reported malformed lines.\n";

void Complain(const std::string& message) { std::cerr << "nerlo-sigtool: " << message << "\n"; }

int UsageError(const std::string& message) {
  Complain(message);
  std::cerr << kUsage;
  return kExitUsage;
}

bool IsMissing(ErrorCode error) {
  return error == static_cast<int>(std::errc::no_such_file_or_directory);
}

// Appends entries to the database named name in db_dir; sources[i] names the file that gave
// entries[i], for the notes about entries already present.
int AppendToDatabase(const std::string& db_dir, std::string_view name,
                     const std::vector<std::string>& entries,
                     const std::vector<std::string>& sources) {
  const std::string path = nerlo::platform::JoinPath(db_dir, name);
  std::string existing;
  ErrorCode error = 0;
  if (!nerlo::sigdb::ReadWholeFile(path, &existing, &error) && !IsMissing(error)) {
    Complain("cannot read \"" + path + "\": " + ErrorText(error));
    return kExitFailure;
  }
  std::vector<bool> added;
  const std::string contents = nerlo::sigdb::AppendEntries(existing, entries, &added);
  if (!nerlo::platform::WriteFileAtomically(path, contents, &error)) {
    Complain("cannot write \"" + path + "\": " + ErrorText(error));
    return kExitFailure;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!added[i]) Complain("\"" + sources[i] + "\": entry already in " + std::string(name));
  }
  return 0;
}

int Hash(const std::string& db_dir, const std::vector<std::string>& files) {
  std::vector<std::string> entries;
  bool failed = false;
  for (const std::string& file : files) {
    std::string text;
    try {
      nerlo::sigdb::MD5FileText(file, text, nullptr, nerlo::platform::LinkPolicy::kFollow);
    } catch (const nerlo::Exception& e) {
      // The fingerprint's message names the file only; add the system's reason.
      ErrorCode error = 0;
      const bool opens =
          nerlo::platform::File::Open(file, nerlo::platform::LinkPolicy::kFollow, &error).IsOpen();
      Complain(e.Message() + (opens ? std::string() : ". " + ErrorText(error)));
      failed = true;
      continue;
    }
    entries.push_back(text);
  }
  if (failed) return kExitFailure;
  return AppendToDatabase(db_dir, nerlo::sigdb::kHashDatabaseName, entries, files);
}

int Windows(const std::string& db_dir, const std::vector<std::string>& files) {
  std::vector<std::string> entries;
  std::vector<std::string> sources;
  bool failed = false;
  nerlo::scan::THexEditorEx hx;
  for (const std::string& file : files) {
    try {
      hx.LoadFile(file, nerlo::platform::LinkPolicy::kFollow);
    } catch (const nerlo::Exception& e) {
      Complain(e.Message());
      failed = true;
      continue;
    }
    const int32_t needed = nerlo::scan::kByteWindows[0].last + 1;
    if (hx.DataLength() < needed) {
      Complain("\"" + file + "\" holds " + std::to_string(hx.DataLength()) +
               " bytes and yields no byte window (the first needs " + std::to_string(needed) + ")");
      failed = true;
      continue;
    }
    for (const nerlo::scan::ByteWindow& window : nerlo::scan::kByteWindows) {
      try {
        hx.SetSelectionStart(window.first);
        hx.SetSelectionEnd(window.last);
      } catch (const nerlo::EHexEditorError&) {
        break;  // this window and every later one lie beyond the end of the file
      }
      entries.push_back(hx.SelectionHexText());
      sources.push_back(file);
    }
  }
  if (failed) return kExitFailure;
  return AppendToDatabase(db_dir, nerlo::sigdb::kWindowDatabaseName, entries, sources);
}

int Heuristics(const std::string& db_dir, const std::string& list_path) {
  std::string list;
  ErrorCode error = 0;
  if (!nerlo::sigdb::ReadWholeFile(list_path, &list, &error)) {
    Complain("cannot read \"" + list_path + "\": " + ErrorText(error));
    return kExitFailure;
  }
  std::vector<std::string> strings;
  std::string problem;
  std::string contents;
  if (!nerlo::sigdb::ParseHeuristicList(list, &strings, &problem) ||
      !nerlo::sigdb::BuildHeuristicsDatabase(strings, &contents, &problem)) {
    Complain("\"" + list_path + "\": " + problem + "; heuristics.db left as it was");
    return kExitFailure;
  }
  const std::string path = nerlo::platform::JoinPath(db_dir, nerlo::sigdb::kHeuristicsDatabaseName);
  if (!nerlo::platform::WriteFileAtomically(path, contents, &error)) {
    Complain("cannot write \"" + path + "\": " + ErrorText(error));
    return kExitFailure;
  }
  return 0;
}

int Show(const std::string& db_dir, const std::string& db) {
  const std::string path =
      db.find('/') == std::string::npos ? nerlo::platform::JoinPath(db_dir, db) : db;
  const std::string base = path.substr(path.rfind('/') + 1);
  std::vector<std::string> entries;
  if (base == nerlo::sigdb::kHeuristicsDatabaseName) {
    try {
      entries = nerlo::sigdb::ReadHeuristicStrings(path);
    } catch (const nerlo::Exception& e) {
      Complain(e.Message());
      return kExitFailure;
    }
  } else {
    std::string contents;
    ErrorCode error = 0;
    if (!nerlo::sigdb::ReadWholeFile(path, &contents, &error)) {
      Complain("cannot read \"" + path + "\": " + ErrorText(error));
      return kExitFailure;
    }
    entries = nerlo::sigdb::DecodeEntries(contents);
  }
  for (const std::string& entry : entries) std::cout << nerlo::sigdb::EscapeBytes(entry) << "\n";
  std::cout.flush();
  return std::cout.good() ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // The channel commands have options of their own; they stand first.
  if (argc >= 2) {
    const std::string first = argv[1];
    const std::vector<std::string> rest(argv + 2, argv + argc);
    if (first == "keygen") return nerlo::cli::KeygenCommand(rest);
    if (first == "publish") return nerlo::cli::PublishCommand(rest);
    if (first == "verify") return nerlo::cli::VerifyCommand(rest);
  }
  std::string command;
  std::string db_dir;
  bool have_db_dir = false;
  std::vector<std::string> args;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
    } else if (!options_ended && (arg == "--help" || arg == "-h")) {
      std::cout << kUsage;
      return 0;
    } else if (!options_ended && arg == "--db-dir") {
      if (i + 1 >= argc) return UsageError("--db-dir needs a directory");
      db_dir = argv[++i];
      have_db_dir = true;
    } else if (!options_ended && arg.starts_with("--db-dir=")) {
      db_dir = arg.substr(9);
      have_db_dir = true;
    } else if (!options_ended && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option \"" + arg + "\"");
    } else if (command.empty()) {
      command = arg;
    } else {
      args.push_back(arg);
    }
  }
  if (command.empty()) return UsageError("no command given");
  if (have_db_dir && db_dir.empty()) return UsageError("--db-dir needs a directory");
  if (!have_db_dir) {
    db_dir = nerlo::platform::ProgramDirectory();
    if (db_dir.empty()) {
      Complain("cannot find the program directory; give --db-dir");
      return kExitFailure;
    }
  }

  if (command == "hash" || command == "windows") {
    if (args.empty()) return UsageError(command + " needs at least one FILE");
    return command == "hash" ? Hash(db_dir, args) : Windows(db_dir, args);
  }
  if (command == "import-hashes") {
    if (args.empty()) return UsageError("import-hashes needs at least one FILE");
    return nerlo::cli::ImportHashesCommand(db_dir, args);
  }
  if (command == "heuristics" || command == "show") {
    if (args.size() != 1) return UsageError(command + " needs exactly one argument");
    return command == "heuristics" ? Heuristics(db_dir, args[0]) : Show(db_dir, args[0]);
  }
  return UsageError("unknown command \"" + command + "\"");
}
