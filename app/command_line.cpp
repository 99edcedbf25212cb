#include "app/command_line.h"

#include "windows/form_base.h"
#include "windows/forms.h"
#include "windows/scan_target_dialog.h"
#include "windows/settings_dialog.h"

namespace nerlo::app {

namespace {
bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }
}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  bool all_drives = false;
  bool options_ended = false;
  for (const std::string& arg : args) {
    if (options_ended || !IsOption(arg)) {
      out.paths.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help") {
      out = CommandLine{};
      out.action = CommandLine::Action::kHelp;
      return out;
    } else if (arg == "--version") {
      out = CommandLine{};
      out.action = CommandLine::Action::kVersion;
      return out;
    } else if (arg == "--all-drives") {
      all_drives = true;
    } else if (out.error.empty()) {
      out.error = "unknown option \"" + arg + "\"";
    }
  }
  if (!out.error.empty()) {
    out.action = CommandLine::Action::kError;
    out.paths.clear();
  } else if (all_drives && !out.paths.empty()) {
    out.action = CommandLine::Action::kError;
    out.error = "--all-drives scans everything: give it no paths";
    out.paths.clear();
  } else if (all_drives) {
    out.action = CommandLine::Action::kScanAllDrives;
  } else if (!out.paths.empty()) {
    out.action = CommandLine::Action::kScanPaths;
  }
  return out;
}

bool AsksForTextOnly(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "--version") return true;
  }
  return false;
}

std::string UsageText() {
  return "Usage: nerlo [PATH...]\n"
         "       nerlo --all-drives\n"
         "\n"
         "The desktop program of the Nerlo anti-virus scanner. Without arguments it shows the\n"
         "launcher. Given files or folders, it scans them at once, as one scan, without asking\n"
         "for a target; a path that cannot be scanned is listed as not examined. File\n"
         "managers start it this way for \"Scan with Nerlo\".\n"
         "\n"
         "Options:\n"
         "  --all-drives   scan every local drive (on Linux: everything below /)\n"
         "  --             end of options: what follows are paths\n"
         "  --version      show the version\n"
         "  --help         show this text\n"
         "\n"
         "Needs a graphical session; nerlo-scan scans from a terminal without one.\n"
         "Exit status: 0 when the launcher closes, 1 without a display, 2 a usage error.\n";
}

std::string VersionText() { return "nerlo (Nerlo) 1.00\n"; }

std::string NoDisplayText(const std::string& display_name) {
  const std::string display = display_name.empty() ? "no display is set (DISPLAY, WAYLAND_DISPLAY)"
                                                   : "cannot open the display " + display_name;
  return "nerlo: needs a graphical session: " + display + "; nerlo-scan scans without one\n";
}

void StartCommandLineScan(const CommandLine& command) {
  windows::Guard([] { Form4->LoadSettings(); });
  windows::Guard([&command] {
    if (command.action == CommandLine::Action::kScanAllDrives)
      Form2->ScanAllDrives();
    else if (command.action == CommandLine::Action::kScanPaths)
      Form2->ScanPaths(command.paths);
  });
}

}  // namespace nerlo::app
