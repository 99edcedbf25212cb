// What the desktop program is asked to do by its arguments, and the texts it prints without a
// display. Works on byte strings: a path is passed on exactly as given.
#pragma once

#include <string>
#include <vector>

namespace nerlo::app {

struct CommandLine {
  enum class Action {
    kLauncher,   // no arguments: show the launcher
    kScanPaths,  // paths given: scan them at once, the launcher hidden
    kScanAllDrives,
    kHelp,
    kVersion,
    kError,  // error holds one line (without the program's name)
  };
  Action action = Action::kLauncher;
  std::vector<std::string> paths;
  std::string error;
};

// Reads args (the arguments after the program's name). --help and --version win over
// everything before a "--"; "--" ends the options, so that later arguments are paths even when
// they begin with "-". An unknown option, or --all-drives together with paths, is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// True when args ask for --help or --version (before any "--"): answered before the
// application object exists, so without a display.
bool AsksForTextOnly(const std::vector<std::string>& args);

// The text of --help and of --version, each ending with a newline.
std::string UsageText();
std::string VersionText();

// The one line (with its newline) printed when there is no display to open; display_name is
// the display that failed, or empty when none was set.
std::string NoDisplayText(const std::string& display_name);

}  // namespace nerlo::app

namespace nerlo::app {

// Starts the scan that command asks for (kScanPaths or kScanAllDrives) on the windows that
// CreateForms made: loads the settings into the settings dialog, as the launcher does when it
// is shown, then runs the scan with the launcher hidden. Returns when the scan has ended. Each
// step runs inside the error guard. User-interface thread, inside the event loop.
void StartCommandLineScan(const CommandLine& command);

}  // namespace nerlo::app
