#include "cli/sigtool_sets.h"

#include <iostream>
#include <map>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/fs_query.h"
#include "platform/platform.h"
#include "scan/scan_run.h"
#include "sigdb/crypto.h"
#include "sigdb/database_writer.h"
#include "sigdb/hash_import.h"
#include "sigdb/signature_set.h"

namespace nerlo::cli {
namespace {

using platform::ErrorCode;
using platform::ErrorText;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kChannelName = "channel.json";
constexpr std::string_view kSignatureName = "channel.json.sig";
constexpr std::string_view kSetNames[] = {"database.db", "tdb.ldb", "heuristics.db"};
// Longest expiry publish accepts, in days (a century).
constexpr uint64_t kMaxExpiryDays = 36500;

void Complain(const std::string& message) { std::cerr << "nerlo-sigtool: " << message << "\n"; }

int Usage(const std::string& message) {
  Complain(message + " (see nerlo-sigtool --help)");
  return kUsage;
}

bool IsMissing(ErrorCode error) {
  return error == static_cast<int>(std::errc::no_such_file_or_directory);
}

// The options (each taking one value, as "--name VALUE" or "--name=VALUE") and the other
// words of args; "--" ends the options. Returns false, with *problem set, for an unknown
// option, an option without its value, or one given twice.
bool SplitOptions(const std::vector<std::string>& args, const std::set<std::string>& known,
                  std::map<std::string, std::string>* options, std::vector<std::string>* words,
                  std::string* problem) {
  bool ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (ended || arg.size() < 2 || arg[0] != '-') {
      words->push_back(arg);
      continue;
    }
    if (arg == "--") {
      ended = true;
      continue;
    }
    std::string name = arg, value;
    bool has_value = false;
    if (const size_t equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      has_value = true;
    }
    if (known.count(name) == 0) {
      *problem = "unknown option \"" + name + "\"";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *problem = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (value.empty()) {
      *problem = name + " needs a value";
      return false;
    }
    if (!options->emplace(name, value).second) {
      *problem = name + " given twice";
      return false;
    }
  }
  return true;
}

// A decimal number from 1 to max without sign or leading zeros.
bool PositiveNumber(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 20 || text[0] == '0') return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// Reads a secret key file and checks that it is a whole Ed25519 secret key: libsodium keeps
// the public half in its last 32 bytes, so a signature made with it must verify with them.
bool ReadSecretKey(const std::string& path, std::string* key) {
  std::string error;
  if (!sigdb::ReadKeyFile(path, sigdb::kSecretKeyBytes, key, &error)) {
    Complain(error);
    return false;
  }
  const std::string probe = "nerlo-sigtool key check";
  if (!sigdb::VerifyDetached(probe, sigdb::SignDetached(probe, *key),
                             key->substr(sigdb::kSecretKeyBytes - sigdb::kPublicKeyBytes))) {
    Complain("\"" + path + "\": not an Ed25519 secret key (its halves do not belong together)");
    return false;
  }
  return true;
}

// The manifest at path (channel.json or nerlo-set.json); *exists false when there is none.
bool ReadManifestAt(const std::string& path, bool* exists, std::string* text,
                    sigdb::SetManifest* manifest, std::string* problem) {
  ErrorCode error = 0;
  *exists = true;
  if (!platform::ReadFileHead(path, sigdb::kMaxManifestBytes, text, &error)) {
    if (IsMissing(error)) {
      *exists = false;
      return false;
    }
    *problem = "\"" + path + "\": cannot be read: " + ErrorText(error);
    return false;
  }
  std::string why;
  if (!sigdb::ParseManifest(*text, manifest, &why)) {
    *problem = "\"" + path + "\": malformed: " + why;
    return false;
  }
  return true;
}

}  // namespace

int KeygenCommand(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
    return Usage("keygen needs exactly one argument, the secret key file to write");
  const std::string secret_path = args[0];
  const std::string public_path = secret_path + ".pub";
  std::string public_key, secret_key;
  sigdb::GenerateSigningKeyPair(&public_key, &secret_key);
  ErrorCode error = 0;
  if (!platform::WriteNewFile(secret_path, sigdb::KeyFileText(secret_key), 0600, &error)) {
    Complain("cannot write \"" + secret_path + "\": " + ErrorText(error) +
             (error == static_cast<int>(std::errc::file_exists)
                  ? " (an existing key is never replaced)"
                  : ""));
    return kFailed;
  }
  if (!platform::WriteNewFile(public_path, sigdb::KeyFileText(public_key), 0644, &error)) {
    Complain("cannot write \"" + public_path + "\": " + ErrorText(error) + "; \"" + secret_path +
             "\" removed again");
    platform::DeleteFile(secret_path);
    return kFailed;
  }
  std::cout << "Secret key: " << secret_path << " (mode 0600; keep it off the mirror)\n"
            << "Public key: " << public_path
            << " (install it as keys/NAME.pub beside the programs, or in /etc/nerlo/keys/)\n";
  return kDone;
}

int PublishCommand(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;
  std::string problem;
  if (!SplitOptions(args, {"--key", "--version", "--expires-in", "--out"}, &options, &words,
                    &problem))
    return Usage("publish: " + problem);
  for (const char* needed : {"--key", "--version", "--out"})
    if (options.count(needed) == 0) return Usage(std::string("publish needs ") + needed);
  if (words.size() != 1) return Usage("publish needs exactly one DBDIR");
  uint64_t version = 0, days = 7;
  if (!PositiveNumber(options["--version"], UINT64_MAX, &version))
    return Usage("publish: --version must be a whole number from 1 to 18446744073709551615");
  if (options.count("--expires-in") != 0 &&
      !PositiveNumber(options["--expires-in"], kMaxExpiryDays, &days))
    return Usage("publish: --expires-in must be a whole number of days from 1 to " +
                 std::to_string(kMaxExpiryDays));
  const std::string mirror = options["--out"];
  const std::string db_dir = words[0];

  std::string secret_key;
  if (!ReadSecretKey(options["--key"], &secret_key)) return kFailed;

  // Rollback guard: a client never accepts a version it does not see rise, so publishing one
  // that does not would strand every client on the old set.
  const std::string channel_path = platform::JoinPath(mirror, kChannelName);
  std::string old_text;
  sigdb::SetManifest old;
  bool exists = false;
  if (ReadManifestAt(channel_path, &exists, &old_text, &old, &problem)) {
    if (version <= old.version) {
      Complain("version " + std::to_string(version) + " is not higher than version " +
               std::to_string(old.version) + ", published in \"" + mirror +
               "\" already; nothing written");
      return kFailed;
    }
  } else if (exists) {
    Complain(problem +
             "; cannot tell the version published, nothing written (remove it to "
             "publish anew)");
    return kFailed;
  }

  // Every database is read and hashed before anything is written.
  sigdb::SetManifest manifest;
  manifest.version = version;
  std::vector<std::string> contents;
  for (std::string_view name : kSetNames) {
    const std::string path = platform::JoinPath(db_dir, name);
    std::string bytes;
    ErrorCode error = 0;
    if (!sigdb::ReadWholeFile(path, &bytes, &error)) {
      if (IsMissing(error)) continue;
      Complain("cannot read \"" + path + "\": " + ErrorText(error));
      return kFailed;
    }
    manifest.files.push_back({std::string(name), bytes.size(), sigdb::Sha256Hex(bytes)});
    contents.push_back(std::move(bytes));
  }
  if (manifest.files.empty()) {
    Complain("\"" + db_dir + "\" holds none of database.db, tdb.ldb, heuristics.db");
    return kFailed;
  }

  ErrorCode error = 0;
  const std::string files_dir = platform::JoinPath(mirror, "files");
  for (const std::string& dir : {mirror, files_dir}) {
    if (!platform::MakeDirectory(dir, 0755, &error)) {
      Complain("cannot make the folder \"" + dir + "\": " + ErrorText(error));
      return kFailed;
    }
  }
  // Files are named by their hash and never change; one already there with the right bytes
  // is kept (a client that fetched it meanwhile gets the same bytes either way).
  int written = 0;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const std::string path = platform::JoinPath(files_dir, manifest.files[i].sha256);
    std::string hex, why;
    uint64_t size = 0;
    if (sigdb::Sha256File(path, &hex, &size, &why) && hex == manifest.files[i].sha256) continue;
    if (!platform::WriteFileAtomically(path, contents[i], &error)) {
      Complain("cannot write \"" + path + "\": " + ErrorText(error));
      return kFailed;
    }
    ++written;
  }

  const int64_t now = sigdb::UtcNow();
  manifest.created = sigdb::FormatUtcTime(now);
  manifest.expires = sigdb::FormatUtcTime(now + static_cast<int64_t>(days) * 86400);
  const std::string text = sigdb::ManifestText(manifest);
  const std::string signature = sigdb::SignDetached(text, secret_key);
  // channel.json first, then its signature: a client that reads the two between both
  // replacements finds a signature that does not verify and tries again later; it never
  // accepts a channel that was not signed.
  const std::string signature_path = platform::JoinPath(mirror, kSignatureName);
  if (!platform::WriteFileAtomically(channel_path, text, &error)) {
    Complain("cannot write \"" + channel_path + "\": " + ErrorText(error));
    return kFailed;
  }
  if (!platform::WriteFileAtomically(signature_path, signature, &error)) {
    Complain("cannot write \"" + signature_path + "\": " + ErrorText(error));
    return kFailed;
  }
  std::cout << "Published version " << version << " to " << mirror << " (" << written << " new file"
            << (written == 1 ? "" : "s") << " in files/)\n";
  for (const sigdb::SetFile& file : manifest.files)
    std::cout << "  " << file.name << ": " << file.size << " bytes, SHA-256 " << file.sha256
              << "\n";
  std::cout << "Created " << manifest.created << ", expires " << manifest.expires << "\n";
  return kDone;
}

namespace {

// Checks a mirror: channel.json signed by key, well-formed, not expired, and every file it
// names present under files/ with its size and hash.
int VerifyMirror(const std::string& mirror, const std::string& public_key) {
  int faults = 0;
  auto fault = [&](const std::string& what) {
    Complain(what);
    ++faults;
  };
  const std::string channel_path = platform::JoinPath(mirror, kChannelName);
  const std::string signature_path = platform::JoinPath(mirror, kSignatureName);
  std::string text, signature;
  ErrorCode error = 0;
  if (!platform::ReadFileHead(channel_path, sigdb::kMaxManifestBytes, &text, &error)) {
    fault("\"" + channel_path + "\": cannot be read: " + ErrorText(error));
    return kFailed;
  }
  if (!platform::ReadFileHead(signature_path, sigdb::kSignatureBytes, &signature, &error)) {
    fault("\"" + signature_path + "\": cannot be read: " + ErrorText(error));
  } else if (signature.size() != sigdb::kSignatureBytes) {
    fault("\"" + signature_path + "\": " + std::to_string(signature.size()) +
          (signature.size() > sigdb::kSignatureBytes ? " bytes or more" : " bytes") +
          ", a signature has " + std::to_string(sigdb::kSignatureBytes));
  } else if (text.size() > sigdb::kMaxManifestBytes) {
    fault("\"" + channel_path + "\": larger than " + std::to_string(sigdb::kMaxManifestBytes) +
          " bytes");
  } else if (!sigdb::VerifyDetached(text, signature, public_key)) {
    fault("\"" + signature_path +
          "\": the signature does not verify with this key (signed with another key, or "
          "channel.json was changed after signing)");
  }
  sigdb::SetManifest manifest;
  std::string why;
  if (!sigdb::ParseManifest(text, &manifest, &why)) {
    fault("\"" + channel_path + "\": malformed: " + why);
    return kFailed;
  }
  int64_t expires = 0;
  const int64_t now = sigdb::UtcNow();
  if (sigdb::ParseUtcTime(manifest.expires, &expires) && now >= expires)
    fault("\"" + channel_path + "\": expired on " + manifest.expires +
          " (clients refuse it; publish a new version)");
  for (const sigdb::SetFile& file : manifest.files) {
    const std::string path = platform::JoinPath(platform::JoinPath(mirror, "files"), file.sha256);
    std::string hex;
    uint64_t size = 0;
    if (!sigdb::Sha256File(path, &hex, &size, &why)) {
      fault(file.name + ": " + why);
    } else if (size != file.size) {
      fault(file.name + ": \"" + path + "\" holds " + std::to_string(size) +
            " bytes, channel.json says " + std::to_string(file.size));
    } else if (hex != file.sha256) {
      fault(file.name + ": \"" + path + "\" has SHA-256 " + hex + ", not the one it is named by");
    }
  }
  if (faults > 0) {
    Complain(std::to_string(faults) + " fault" + (faults == 1 ? "" : "s") + " in mirror \"" +
             mirror + "\"");
    return kFailed;
  }
  std::cout << "OK: mirror " << mirror << ", version " << manifest.version << ", "
            << manifest.files.size() << " file" << (manifest.files.size() == 1 ? "" : "s")
            << ", signature good, expires " << manifest.expires << "\n";
  return kDone;
}

// Checks an installed set folder: its manifest well-formed and every file it lists there with
// its size and hash; when a signature was kept beside the manifest (nerlo-set.json.sig), that
// it verifies with key.
int VerifySet(const std::string& folder, const std::string& public_key) {
  const std::string manifest_path = platform::JoinPath(folder, sigdb::kManifestName);
  std::string text, problem;
  sigdb::SetManifest manifest;
  bool exists = false;
  if (!ReadManifestAt(manifest_path, &exists, &text, &manifest, &problem)) {
    Complain(exists ? problem : "\"" + manifest_path + "\": missing (a half-installed set?)");
    return kFailed;
  }
  std::vector<std::string> problems;
  sigdb::CheckSetFiles(folder, manifest, true, &problems);
  std::string signature;
  ErrorCode error = 0;
  std::string signature_note = "no signature kept with the set";
  const std::string signature_path = manifest_path + ".sig";
  if (platform::ReadFileHead(signature_path, sigdb::kSignatureBytes, &signature, &error)) {
    if (!sigdb::VerifyDetached(text, signature, public_key))
      problems.push_back("\"" + signature_path + "\": the signature does not verify with this key");
    signature_note = "signature good";
  } else if (!IsMissing(error)) {
    problems.push_back("\"" + signature_path + "\": cannot be read: " + ErrorText(error));
  }
  for (const std::string& p : problems) Complain(p);
  if (!problems.empty()) {
    Complain(std::to_string(problems.size()) + " fault" + (problems.size() == 1 ? "" : "s") +
             " in set \"" + folder + "\"");
    return kFailed;
  }
  int64_t expires = 0;
  const bool expired =
      sigdb::ParseUtcTime(manifest.expires, &expires) && sigdb::UtcNow() >= expires;
  std::cout << "OK: set " << folder << ", version " << manifest.version << ", "
            << manifest.files.size() << " file" << (manifest.files.size() == 1 ? "" : "s")
            << " match the manifest, " << signature_note << ", "
            << (expired ? "expired on " : "expires ") << manifest.expires << "\n";
  return kDone;
}

}  // namespace

int VerifyCommand(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;
  std::string problem;
  if (!SplitOptions(args, {"--key"}, &options, &words, &problem))
    return Usage("verify: " + problem);
  if (options.count("--key") == 0) return Usage("verify needs --key PUB");
  if (words.size() != 1) return Usage("verify needs exactly one MIRROR or SETDIR");
  std::string public_key, error;
  if (!sigdb::ReadKeyFile(options["--key"], sigdb::kPublicKeyBytes, &public_key, &error)) {
    Complain(error);
    return kFailed;
  }
  const std::string& dir = words[0];
  platform::FileStamp stamp;
  if (platform::StatPath(platform::JoinPath(dir, kChannelName), &stamp))
    return VerifyMirror(dir, public_key);
  if (platform::StatPath(platform::JoinPath(dir, sigdb::kManifestName), &stamp))
    return VerifySet(dir, public_key);
  // An installed root: the set its current link names.
  std::string target;
  if (platform::ReadSymbolicLink(platform::JoinPath(dir, "current"), &target)) {
    const std::string folder = target.starts_with('/') ? target : platform::JoinPath(dir, target);
    std::cout << dir << ": current -> " << target << "\n";
    return VerifySet(folder, public_key);
  }
  Complain("\"" + dir +
           "\" holds no channel.json (a mirror), no nerlo-set.json (a set) and no "
           "current link (an installed root)");
  return kFailed;
}

int ImportHashesCommand(const std::string& db_dir, const std::vector<std::string>& files) {
  sigdb::HashListImporter importer(static_cast<uint64_t>(scan::kSizeLimit));
  // Every list is read before anything is written, so a list that cannot be read leaves the
  // database as it was.
  for (const std::string& file : files) {
    std::string text;
    ErrorCode error = 0;
    if (!sigdb::ReadWholeFile(file, &text, &error)) {
      Complain("cannot read \"" + file + "\": " + ErrorText(error) + "; nothing imported");
      return kFailed;
    }
    importer.Add(file, text);
  }
  const sigdb::HashImportCounts& counts = importer.Counts();
  for (const sigdb::MalformedLine& bad : importer.FirstMalformed())
    Complain(bad.file + ":" + std::to_string(bad.line) + ": malformed: " + bad.reason);
  if (counts.malformed > static_cast<int64_t>(importer.FirstMalformed().size()))
    Complain(
        "... and " +
        std::to_string(counts.malformed - static_cast<int64_t>(importer.FirstMalformed().size())) +
        " more malformed line" +
        (counts.malformed - static_cast<int64_t>(importer.FirstMalformed().size()) == 1 ? ""
                                                                                        : "s"));

  int64_t added = 0;
  if (!importer.Md5Entries().empty()) {
    const std::string path = platform::JoinPath(db_dir, sigdb::kHashDatabaseName);
    std::string existing;
    ErrorCode error = 0;
    if (!sigdb::ReadWholeFile(path, &existing, &error) && !IsMissing(error)) {
      Complain("cannot read \"" + path + "\": " + ErrorText(error));
      return kFailed;
    }
    std::vector<bool> fresh;
    const std::string contents = sigdb::AppendEntries(existing, importer.Md5Entries(), &fresh);
    for (bool f : fresh) added += f ? 1 : 0;
    if (added > 0 && !platform::WriteFileAtomically(path, contents, &error)) {
      Complain("cannot write \"" + path + "\": " + ErrorText(error));
      return kFailed;
    }
  }
  const int64_t skipped = counts.sha1 + counts.sha256 + counts.too_large;
  std::cout << "Lines read: " << counts.lines << " in " << files.size() << " file"
            << (files.size() == 1 ? "" : "s") << "\n"
            << "Added: " << added << "\n"
            << "Already present: " << counts.md5 - added << "\n"
            << "Skipped: " << skipped << " (SHA-1: " << counts.sha1
            << ", SHA-256: " << counts.sha256 << ", 5 MiB or more: " << counts.too_large << ")\n"
            << "Malformed: " << counts.malformed << "\n";
  std::cout.flush();
  return std::cout.good() ? kDone : kFailed;
}

}  // namespace nerlo::cli
