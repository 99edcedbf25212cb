// The five windows of the program, created once at start-up and reachable through these
// references for as long as the program runs.
#pragma once

#include <string>

namespace nerlo::windows {
class TForm1;
class TForm2;
class TForm3;
class TForm4;
class TForm5;
}  // namespace nerlo::windows

namespace nerlo {

extern windows::TForm1* Form1;  // the launcher, the main window
extern windows::TForm2* Form2;  // the scan-target dialog
extern windows::TForm3* Form3;  // the scanner window
extern windows::TForm4* Form4;  // the settings dialog
extern windows::TForm5* Form5;  // the results dialog

// Creates the five windows, hidden, in the order Form1 to Form5. program_directory (with its
// trailing separator) holds the databases, readme.txt and the updater. User-interface thread
// only; the message queue must already be installed.
void CreateForms(const std::string& program_directory);

// Destroys the windows (after the event loop has ended, or between tests). Waits for lookups
// still running.
void DestroyForms();

}  // namespace nerlo
