// kestry: brings the installed signature set up to date from the signed channel.
//
// With a display it shows a small window; without one, or with --quiet, it prints progress
// lines and a result line. Exit status: 0 updated or already current, 1 failed or cancelled,
// 2 usage or configuration error.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "kestry/progress_text.h"
#include "kestry/update_window.h"
#include "platform/console.h"
#include "platform/fs_install.h"
#include "platform/platform.h"
#include "update/config.h"
#include "update/set_store.h"
#include "update/updater.h"

namespace {

using namespace nerlo;

constexpr const char* kUsage =
    "Usage: kestry [--quiet] [--root DIR] [--config FILE] [--keys DIR]... [--stall-seconds N]\n"
    "\n"
    "Brings the installed signature set up to date from the update channel named by Url=\n"
    "under [Update] in $XDG_CONFIG_HOME/nerlo/nerlo.ini, else in /etc/nerlo/update.ini\n"
    "(CaFile= beside it adds a certificate bundle). The channel must be signed by a key\n"
    "*.pub in the program directory's keys/ or in /etc/nerlo/keys/.\n"
    "\n"
    "  --quiet            no window: progress lines and a result line\n"
    "  --root DIR         install into DIR (default: /var/lib/nerlo as root, else\n"
    "                     $XDG_DATA_HOME/nerlo, i.e. ~/.local/share/nerlo)\n"
    "  --config FILE      read Url= and CaFile= from FILE only\n"
    "  --keys DIR         take the publishers' keys from DIR instead (may be repeated)\n"
    "  --stall-seconds N  end a transfer slower than 1000 bytes/s for N seconds (default 30)\n"
    "\n"
    "Exit status: 0 updated or already current, 1 failed or cancelled, 2 usage or\n"
    "configuration error.\n";

int UsageError(const std::string& message) {
  std::cerr << "kestry: " << message << "\n" << kUsage;
  return 2;
}

void PrintLine(const std::string& line, bool is_error) {
  (is_error ? std::cerr : std::cout) << "kestry: " << line << std::endl;
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

int RunWithoutWindow(const update::UpdateOptions& options) {
  platform::InstallInterruptHandler();
  kestry::RateMeter rate;
  kestry::RateMeter::Clock::time_point last{};
  uint64_t last_done = UINT64_MAX;
  update::UpdateEvents events;
  events.OnStep = [](const std::string& step) { PrintLine(step, false); };
  events.OnBytes = [&](uint64_t done, uint64_t total) {
    const auto now = kestry::RateMeter::Clock::now();
    rate.Add(done, now);
    if ((now - last >= std::chrono::seconds(1) || done == total) && done != last_done) {
      last = now;
      last_done = done;
      PrintLine(kestry::BytesLine(done, total, rate.BytesPerSecond()), false);
    }
  };
  events.Cancelled = [] { return platform::InterruptRequested(); };
  const update::UpdateResult result = update::RunUpdate(options, events);
  for (const std::string& warning : result.warnings) PrintLine("warning: " + warning, true);
  const int status = kestry::ExitStatusOf(result.outcome);
  PrintLine(result.message, status != 0);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Signature sets are public data that every user's scans read, also from /var/lib/nerlo
  // when root runs this from a shell with a private umask.
  platform::SetCreationMask(0022);
  bool quiet = false;
  std::string root, config;
  std::vector<std::string> key_folders;
  update::UpdateOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return !out->empty();
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--root") {
      if (!value(&root)) return UsageError("--root needs a folder");
    } else if (arg == "--config") {
      if (!value(&config)) return UsageError("--config needs a file");
    } else if (arg == "--keys") {
      std::string folder;
      if (!value(&folder)) return UsageError("--keys needs a folder");
      key_folders.push_back(folder);
    } else if (arg == "--stall-seconds") {
      std::string text;
      if (!value(&text) || text.find_first_not_of("0123456789") != std::string::npos ||
          text.size() > 5 || std::stol(text) < 1)
        return UsageError("--stall-seconds needs a whole number of seconds from 1 to 99999");
      options.limits.low_speed_seconds = std::stol(text);
    } else {
      return UsageError("unknown argument " + arg);
    }
  }

  update::UpdateSource source;
  std::string error;
  const std::vector<std::string> files =
      config.empty() ? update::DefaultSourceFiles() : std::vector<std::string>{config};
  if (update::FindUpdateSource(files, &source, &error) != update::SourceStatus::kFound) {
    PrintLine(error, true);
    return 2;
  }
  if (key_folders.empty()) key_folders = update::DefaultKeyFolders(platform::ProgramDirectory());
  std::vector<std::string> warnings;
  options.keys = update::LoadPublicKeys(key_folders, &warnings);
  for (const std::string& warning : warnings) PrintLine("warning: " + warning, true);
  if (options.keys.empty()) {
    std::string asked;
    for (const std::string& folder : key_folders) asked += (asked.empty() ? "" : " or ") + folder;
    PrintLine("no publisher's key is installed: put the channel's public key (a *.pub file) in " +
                  asked,
              true);
    return 2;
  }
  options.url = source.url;
  options.ca_file = source.ca_file;
  options.root = root.empty() ? update::DefaultInstallRoot() : root;
  if (options.root.empty()) {
    PrintLine("cannot tell where to install: the home folder is unknown; give --root DIR", true);
    return 2;
  }

  if (quiet || !HasDisplay()) return RunWithoutWindow(options);

  QApplication app(argc, argv);
  const update::InstalledSet installed = update::SetStore(options.root).ReadInstalled();
  kestry::UpdateWindow window(options, installed);
  window.show();
  window.Start(&PrintLine);
  app.exec();
  return window.Finished() ? window.ExitStatus() : 1;
}
