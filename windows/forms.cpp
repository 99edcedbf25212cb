#include "windows/forms.h"

#include "windows/launcher.h"
#include "windows/results_dialog.h"
#include "windows/scan_target_dialog.h"
#include "windows/scanner_window.h"
#include "windows/settings_dialog.h"

namespace nerlo {

windows::TForm1* Form1 = nullptr;
windows::TForm2* Form2 = nullptr;
windows::TForm3* Form3 = nullptr;
windows::TForm4* Form4 = nullptr;
windows::TForm5* Form5 = nullptr;

void CreateForms(const std::string& program_directory) {
  Form1 = new windows::TForm1(program_directory);
  Form2 = new windows::TForm2();
  Form3 = new windows::TForm3(program_directory);
  Form4 = new windows::TForm4();
  Form5 = new windows::TForm5();
}

void DestroyForms() {
  // The scanner first: its lookups may still report into it and read the settings dialog.
  delete Form3;
  Form3 = nullptr;
  delete Form5;
  Form5 = nullptr;
  delete Form4;
  Form4 = nullptr;
  delete Form2;
  Form2 = nullptr;
  delete Form1;
  Form1 = nullptr;
}

}  // namespace nerlo
