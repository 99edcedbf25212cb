// What the scan run needs from the window that shows it: a view to write to and the settings
// to obey. The desktop program's scanner window and the command-line scanner implement both.
#pragma once

#include <string>
#include <string_view>

namespace nerlo::scan {

// Status panels of the scanner window, by index.
enum StatusPanel : int {
  kPanelCurrentFile = 0,  // "IDLE" until the first file is handled
  kPanelScanned = 1,      // "Scanned: N"
  kPanelInfected = 2,     // "Infected: N"
  kPanelRemoved = 3,      // "Removed: N"
  kPanelVersion = 4,      // "Nerlo v1.00", never written
};

// Called on the user-interface thread only.
class ScanView {
 public:
  virtual ~ScanView() = default;
  // Appends a row to the result list.
  virtual void AddResultRow(const std::string& location, const std::string& diagnostic,
                            const std::string& action) = 0;
  // Sets the text of a status panel.
  virtual void SetPanelText(int panel, const std::string& text) = 0;
  // Told of every detection, also of those that the settings leave alone: action is the
  // action text when a deletion was attempted, empty otherwise; check names the check that
  // fired: "hash", "heuristic N" (N the string's 1-based place in the list) or "window N".
  // The scanner window has no use for it; the command-line scanner prints it.
  virtual void DetectionReported(const std::string& /*path*/, std::string_view /*action*/,
                                 std::string_view /*check*/) {}
  // Told of every file that was meant to be examined and was not (it could not be opened or
  // read, vanished, grew past the size limit) and of every folder that could not be listed or
  // was too deep to reach; reason is the system's error text or says why.
  virtual void FileNotExamined(const std::string& /*path*/, const std::string& /*reason*/) {}
  // Told of a problem of the scan itself that leaves no file unexamined but is worth a word:
  // a helper thread that could not be started, whose work is then done on this thread.
  virtual void ScanWarning(const std::string& /*text*/) {}
};

// Read at the moment of use, never copied: a change takes effect from the next file (the
// heuristics switch) or the next detection (the verdict action).
class ScanSettings {
 public:
  virtual ~ScanSettings() = default;
  // "Enable heuristics" is checked.
  virtual bool UseHeuristics() const = 0;
  // "Delete them" is selected (otherwise detections are left alone).
  virtual bool DeleteThem() const = 0;
};

}  // namespace nerlo::scan
