// The settings dialog and its file, the launcher's start and close, and the window framework
// (on-show handling, placement, the error box, how paths are shown).
#include <QtTest>

#include "gui_test_util.h"
#include "platform/exceptions.h"
#include "windows/form_base.h"
#include "windows/profile.h"

using namespace nerlo;
using namespace nerlo::guitest;
using windows::DialogService;

class SettingsTest : public GuiTestCase {
  Q_OBJECT

 public:
  SettingsTest() : GuiTestCase(/*start_launcher=*/false) {}

 private:
  void WriteSettings(const std::string& text) { WriteFile(program_->SettingsFile(), text); }
  std::string Settings() { return ReadFile(program_->SettingsFile()); }
  bool Heuristics() { return Form4->CheckBox1->isChecked(); }
  bool Delete() { return Form4->RadioButton1->isChecked(); }
  bool Ignore() { return Form4->RadioButton3->isChecked(); }
  // Makes the settings folder impossible to create: a file stands where it would be.
  void BlockSettingsFolder() {
    std::filesystem::remove_all(program_->ConfigDir() + "/nerlo");
    WriteFile(program_->ConfigDir() + "/nerlo", "not a folder");
  }

 private slots:

  void windowsAreCreatedHiddenInOrderAndTheLauncherIsShownAlone() {
    QVERIFY(Form1 && Form2 && Form3 && Form4 && Form5);
    for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5})
      QVERIFY(!w->isVisible());
    // The settings dialog holds its designed states until the launcher's first showing.
    QVERIFY(Heuristics() && Ignore() && !Delete());
    program_->Start();
    QVERIFY(Form1->isVisible());
    for (QWidget* w : std::initializer_list<QWidget*>{Form2, Form3, Form4, Form5})
      QVERIFY(!w->isVisible());
    QCOMPARE(Form1->windowTitle(), QString("Nerlo"));
    QCOMPARE(Form1->size(), QSize(472, 362));
    QCOMPARE(Form1->RaisedLabel1->Caption(), QString("Nerlo"));
  }

  void firstRunLoadsDefaultsAndClosingWritesTheThreeKeysInOrder() {
    program_->Start();
    QVERIFY(Heuristics() && Delete() && !Ignore());
    QVERIFY(!Exists(program_->SettingsFile()));
    QVERIFY(Form1->close());
    QVERIFY(!Form1->isVisible());
    QVERIFY(Form1->ProgramEnding());
    QCOMPARE_STR(Settings(), "[Settings]\nUseHeuristics=1\nDelete=1\nIgnore=0\n");
    QVERIFY(DialogService::Shown().empty());
  }

  void verdictTableOfTheLoad_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("del");
    QTest::addColumn<bool>("ignore");
    QTest::newRow("delete") << "[Settings]\nDelete=1\nIgnore=0\n" << true << false;
    QTest::newRow("ignore") << "[Settings]\nDelete=0\nIgnore=1\n" << false << true;
    QTest::newRow("both 1: the later wins") << "[Settings]\nDelete=1\nIgnore=1\n" << false << true;
    QTest::newRow("both 0: neither") << "[Settings]\nDelete=0\nIgnore=0\n" << false << false;
    QTest::newRow("case of names") << "[sETTINGS]\ndelete=0\nIGNORE=1\n" << false << true;
    QTest::newRow("words give defaults") << "[Settings]\nDelete=yes\nIgnore=no\n" << true << false;
    QTest::newRow("other section only") << "[Other]\nDelete=0\nIgnore=1\n" << true << false;
  }
  void verdictTableOfTheLoad() {
    QFETCH(QString, file);
    QFETCH(bool, del);
    QFETCH(bool, ignore);
    WriteSettings(file.toStdString());
    program_->Start();
    QCOMPARE(Delete(), del);
    QCOMPARE(Ignore(), ignore);
  }

  void bothZeroIsWrittenBackTheSame() {
    WriteSettings("[Settings]\r\nUseHeuristics=0\r\nDelete=0\r\nIgnore=0\r\n");
    program_->Start();
    QVERIFY(!Heuristics() && !Delete() && !Ignore());
    QVERIFY(Form1->close());
    QCOMPARE_STR(Settings(), "[Settings]\r\nUseHeuristics=0\r\nDelete=0\r\nIgnore=0\r\n");
  }

  void heuristicsValueRules_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("checked");
    QTest::newRow("word") << "enabled" << true;
    QTest::newRow("0x0") << "0x0" << false;
    QTest::newRow("-1") << "-1" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("$0") << "$0" << false;
    QTest::newRow("X0") << "X0" << false;
    QTest::newRow("leading blanks, sign") << "  +0" << false;
    QTest::newRow("digits then junk") << "0abc" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("too large for 32 bits") << "0x100000000" << true;
  }
  void heuristicsValueRules() {
    QFETCH(QString, value);
    QFETCH(bool, checked);
    WriteSettings("[Settings]\nUseHeuristics=" + value.toStdString() + "\n");
    program_->Start();
    QCOMPARE(Heuristics(), checked);
  }

  void saveKeepsOtherSectionsAndLines() {
    WriteSettings(
        "; kept comment\n[Other]\nDelete=1\n[settings]\ndelete=0\nextra=5\n\n[Tail]\nx=1");
    program_->Start();
    QVERIFY(!Delete() && !Ignore());
    QVERIFY(Form1->close());
    QCOMPARE_STR(Settings(),
                 "; kept comment\n[Other]\nDelete=1\n[settings]\ndelete=0\nextra=5\n"
                 "UseHeuristics=1\nIgnore=0\n\n[Tail]\nx=1");
  }

  void profileSetAppendsToASectionWithoutLineEndAndToAFileWithoutTheSection() {
    QCOMPARE_STR(windows::ProfileSet("[Settings]\nA=1", "Settings", "B", "2"),
                 "[Settings]\nA=1\nB=2\n");
    QCOMPARE_STR(windows::ProfileSet("x=1", "Settings", "B", "2"), "x=1\n[Settings]\nB=2\n");
    QCOMPARE_STR(windows::ProfileSet(" B = 7 \n[Settings]\n  b = 1  \n", "Settings", "B", "0"),
                 " B = 7 \n[Settings]\nb=0\n");
    bool found = true;
    QCOMPARE_STR(windows::ProfileGet("[Settings]\n;Delete=1\n", "Settings", "Delete", &found), "");
    QVERIFY(!found);
    QCOMPARE_STR(windows::ProfileGet("[A]\nk=1\n[a]\nk=2\n", "A", "K"), "1");
  }

  void userChoiceIsSavedAtOnceAndSurvivesTheReload() {
    program_->Start();
    QVERIFY(Delete());
    QTest::mouseClick(Form4->RadioButton3, Qt::LeftButton);
    QVERIFY(Ignore() && !Delete());
    QCOMPARE_STR(Settings(), "[Settings]\nUseHeuristics=1\nDelete=0\nIgnore=1\n");
    QTest::mouseClick(Form4->CheckBox1, Qt::LeftButton);
    QCOMPARE_STR(Settings(), "[Settings]\nUseHeuristics=0\nDelete=0\nIgnore=1\n");
    // The launcher comes back after every scan and reloads: the user's choice must hold.
    Form1->hide();
    Form1->ShowForm();
    QVERIFY(Ignore() && !Delete() && !Heuristics());
  }

  void radioButtonRule() {
    program_->Start();
    Form4->RadioButton3->setChecked(true);
    QVERIFY(!Delete() && Ignore());
    Form4->RadioButton3->setChecked(false);
    QVERIFY(!Delete() && !Ignore());
    Form4->RadioButton1->setChecked(true);
    QVERIFY(Delete() && !Ignore());
    // A click on the checked button keeps it checked.
    QTest::mouseClick(Form4->RadioButton1, Qt::LeftButton);
    QVERIFY(Delete() && !Ignore());
  }

  void failedWriteOnCloseKeepsTheLauncherOpen() {
    program_->Start();
    BlockSettingsFolder();
    QVERIFY(!Form1->close());
    QVERIFY(Form1->isVisible());
    QVERIFY(!Form1->ProgramEnding());
    QCOMPARE(DialogService::Shown().size(), size_t{1});
    const auto& box = DialogService::Shown().front();
    QCOMPARE(box.caption, QString("Nerlo"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.text,
             QString::fromStdString("Unable to write to " + program_->SettingsFile() + "."));
    // Once the folder can be made again, closing works.
    std::filesystem::remove(program_->ConfigDir() + "/nerlo");
    QVERIFY(Form1->close());
    QVERIFY(Exists(program_->SettingsFile()));
  }

  void failedWriteOnAChangeKeepsTheUsersChoice() {
    program_->Start();
    BlockSettingsFolder();
    QTest::mouseClick(Form4->RadioButton3, Qt::LeftButton);
    QVERIFY(Ignore() && !Delete());
    QCOMPARE(DialogService::Shown().size(), size_t{1});
    QVERIFY(DialogService::Shown().front().text.startsWith("Unable to write to "));
  }

  void closingTheLauncherEndsTheProgramWhateverIsOpen() {
    program_->Start();
    Form1->FlatButton4->click();
    Form1->FlatButton1->click();
    Form5->ShowForm();
    QVERIFY(Form4->isVisible() && Form2->isVisible() && Form5->isVisible());
    QVERIFY(Form1->close());
    for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5})
      QVERIFY(!w->isVisible());
    QVERIFY(Exists(program_->SettingsFile()));
  }

  void onShowRunsOnlyFromHiddenToShown() {
    program_->Start();
    QVERIFY(Delete());
    WriteSettings("[Settings]\nDelete=0\nIgnore=1\n");
    Form1->ShowForm();  // already visible: brought to the front, nothing loaded
    QVERIFY(Delete());
    Form1->hide();
    Form1->ShowForm();
    QVERIFY(Ignore() && !Delete());
  }

  void centredAtTheFirstShowingOnlyAndSettingsAtItsDesignedPlace() {
    Form5->ShowForm();
    const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
    QVERIFY(qAbs(Form5->geometry().center().x() - desktop.center().x()) <= 2);
    Form5->move(10, 20);
    Form5->hide();
    Form5->ShowForm();
    QCOMPARE(Form5->pos(), QPoint(10, 20));
    Form4->ShowForm();
    QCOMPARE(Form4->pos(), QPoint(483, 379));
  }

  void updateAndHelpWithoutTheirFilesDoNothingVisible() {
    program_->Start();
    Form1->FlatButton2->click();
    Form1->FlatButton3->click();
    QVERIFY(DialogService::Shown().empty());
    QVERIFY(Form1->isVisible() && !Form2->isVisible() && !Form4->isVisible());
  }

  void errorBoxTextRule() {
    QCOMPARE(windows::ErrorBoxText("Disk full"), QString("Disk full."));
    QCOMPARE(windows::ErrorBoxText("Done."), QString("Done."));
    QCOMPARE(windows::ErrorBoxText("Really!"), QString("Really!"));  // '!' sorts before '.'
    QCOMPARE(windows::ErrorBoxText("(x)"), QString("(x)"));
    QCOMPARE(windows::ErrorBoxText("a/"), QString("a/."));
    QCOMPARE(windows::ErrorBoxText(""), QString(""));
    QCOMPARE(windows::ErrorBoxText("caf\xC3\xA9"), QString::fromUtf8("caf\xC3\xA9."));
  }

  void guardShowsEscapingExceptionsAndGoesOn() {
    QVERIFY(!windows::Guard([] { throw EFOpenError("Cannot open file \"x\""); }));
    QVERIFY(!windows::Guard([] { throw std::runtime_error("boom"); }));
    QVERIFY(windows::Guard([] {}));
    QCOMPARE(DialogService::Shown().size(), size_t{2});
    // '"' sorts before '.': no full stop.
    QCOMPARE(DialogService::Shown()[0].text, QString("Cannot open file \"x\""));
    QCOMPARE(DialogService::Shown()[1].text, QString("boom."));
  }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
