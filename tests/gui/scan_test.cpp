// Whole scans through the real windows: "Scan", the target dialog, OK, the scanner window and
// the results dialog, with the dialog service answering for the user.
#include <QSizeGrip>
#include <QtTest>

#include "gui_test_util.h"
#include "platform/message_queue.h"
#include "scan/scan_target.h"
#include "sigdb/crypto.h"
#include "sigdb/signature_set.h"

using namespace nerlo;
using namespace nerlo::guitest;
using windows::DialogService;

namespace {

// Writes databases that detect the file content by its hash as set version of root, with its
// manifest, and points root's current link at it.
void InstallSet(const std::string& root, uint64_t version, const std::string& content) {
  const std::string folder = root + "/sets/" + std::to_string(version);
  WriteDatabases(folder, {HashEntry(content)}, {}, {"NEVER-PRESENT-STRING"});
  sigdb::SetManifest manifest;
  manifest.version = version;
  manifest.created = "2026-01-01T00:00:00Z";
  manifest.expires = "2999-01-01T00:00:00Z";
  for (const char* name : {"database.db", "tdb.ldb", "heuristics.db"}) {
    const std::string bytes = ReadFile(folder + "/" + name);
    manifest.files.push_back({name, bytes.size(), sigdb::Sha256Hex(bytes)});
  }
  WriteFile(folder + "/nerlo-set.json", sigdb::ManifestText(manifest));
  std::filesystem::remove(root + "/current");
  std::filesystem::create_directory_symlink("sets/" + std::to_string(version), root + "/current");
}

class Recorder : public scan::ScanView, public scan::ScanSettings {
 public:
  void AddResultRow(const std::string& l, const std::string& d, const std::string& a) override {
    rows.push_back(l + "|" + d + "|" + a);
  }
  void SetPanelText(int, const std::string&) override {}
  bool UseHeuristics() const override { return true; }
  bool DeleteThem() const override { return true; }
  std::vector<std::string> rows;
};

}  // namespace

class ScanTest : public GuiTestCase {
  Q_OBJECT

 public:
  ScanTest() : GuiTestCase(/*start_launcher=*/true) {}

 private slots:

  void wholeScanFindsAllThreeKindsDeletesThemAndShowsTheResults() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    Program::ScanFolder(tree.root);
    QVERIFY(DialogService::Shown().empty());
    const std::vector<std::string> expected = {tree.hash_hit + "|Infected!|Deleted.",
                                               tree.heuristic_hit + "|Infected!|Deleted.",
                                               tree.window_hit + "|Infected!|Deleted."};
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(Rows().size(), size_t{3});
    for (size_t i = 0; i < 3; ++i) QCOMPARE_STR(Rows()[i], sorted[i]);
    QVERIFY(!Exists(tree.hash_hit) && !Exists(tree.heuristic_hit) && !Exists(tree.window_hit));
    for (const std::string& clean : tree.clean) QVERIFY(Exists(clean));
    QCOMPARE_STR(Panel(1), "Scanned: 15");
    QCOMPARE_STR(Panel(2), "Infected: 3");
    QVERIFY(Panel(0).rfind(tree.root + "/", 0) == 0);
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: 15");
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 3");
    QCOMPARE_STR(Label(Form5->Label3), "Removed: 3");
    QVERIFY(Visible(Form3) && Visible(Form5) && !Visible(Form1) && !Visible(Form2));
    QCOMPARE(Form3->windowTitle(), QString("Scanning..."));
    // The user goes back to the launcher by closing the scanner window.
    QVERIFY(Form3->close());
    QVERIFY(Visible(Form1) && !Visible(Form3));
  }

  void ignoreThemCountsOnlyAndTheChoiceSurvivesTheReturnToTheLauncher() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    QTest::mouseClick(Form4->RadioButton3, Qt::LeftButton);
    Program::ScanFolder(tree.root);
    QVERIFY(Rows().empty());
    QVERIFY(Exists(tree.hash_hit) && Exists(tree.heuristic_hit) && Exists(tree.window_hit));
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 3");
    QCOMPARE_STR(Label(Form5->Label3), "Removed: 0");
    QCOMPARE_STR(Panel(2), "Infected: 0");
    Form3->close();
    QVERIFY(Visible(Form1));
    QVERIFY(Form4->RadioButton3->isChecked() && !Form4->RadioButton1->isChecked());
  }

  void heuristicsSwitchOffSkipsTheStringsOnly() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    QTest::mouseClick(Form4->CheckBox1, Qt::LeftButton);
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{2});
    QVERIFY(Exists(tree.heuristic_hit));
  }

  void missingHeuristicsDatabaseIsReportedAndTheScanGoesOn() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    std::filesystem::remove(Db() + "/heuristics.db");
    Program::ScanFolder(tree.root);
    QCOMPARE(DialogService::Shown().size(), size_t{1});
    QCOMPARE(DialogService::Shown()[0].caption, QString("Nerlo"));
    QCOMPARE(DialogService::Shown()[0].icon, QMessageBox::Critical);
    QVERIFY(Visible(Form3) && Visible(Form5));
    QVERIFY(!Exists(tree.hash_hit));
    QVERIFY(Exists(tree.heuristic_hit));
  }

  void stopAnsweredNoLeavesTheWalkRunning() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    DialogService::SetNextAnswer(QMessageBox::No);
    DuringTheWalk([] { Form3->SpeedButton1->click(); });
    Program::ScanFolder(tree.root);
    QCOMPARE(DialogService::Shown().size(), size_t{1});
    const auto& box = DialogService::Shown()[0];
    QCOMPARE(box.text, QString("Stop Scanning?"));
    QCOMPARE(box.caption, QString("Warning"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.default_button, QMessageBox::Yes);
    QCOMPARE(box.escape_button, QMessageBox::No);
    QCOMPARE(Form3->ScannedCount(), tree.file_count);
    QVERIFY(Visible(Form3) && !Visible(Form1) && Visible(Form5));
  }

  void stopAnsweredYesEndsTheWalkAndReturnsToTheLauncher() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    DialogService::SetNextAnswer(QMessageBox::Yes);
    DuringTheWalk([] { Form3->SpeedButton1->click(); });
    Program::ScanFolder(tree.root);
    QVERIFY(Form3->ScannedCount() < tree.file_count);
    QVERIFY(Visible(Form1) && !Visible(Form3) && Visible(Form5));
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: " + std::to_string(Form3->ScannedCount()));
    // Stop after the walk still asks; Yes hides the window.
    Form3->ShowForm();
    DialogService::SetNextAnswer(QMessageBox::Yes);
    Form3->SpeedButton1->click();
    QCOMPARE(DialogService::Shown().size(), size_t{2});
    QVERIFY(!Visible(Form3) && Visible(Form1));
  }

  void closeBoxDuringTheWalkStopsWithoutAQuestion() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    DuringTheWalk([] { Form3->close(); });
    Program::ScanFolder(tree.root);
    QVERIFY(DialogService::Shown().empty());
    QVERIFY(Form3->ScannedCount() < tree.file_count);
    QVERIFY(Visible(Form1) && !Visible(Form3) && Visible(Form5));
  }

  void scanDuringAScanStartsNothingNew() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    bool checked = false;
    DuringTheWalk([&] {
      Form1->FlatButton1->click();  // raises the scanner window only
      Form2->Button1->click();      // OK starts nothing while a scan runs
      checked = !Visible(Form2) && Visible(Form3);
    });
    Program::ScanFolder(tree.root);
    QVERIFY(checked);
    QCOMPARE(Form3->ScannedCount(), tree.file_count);
    // The show handling ran once: the two heuristic strings were loaded once.
    QCOMPARE(Form3->Run().Memo1.Count(), size_t{2});
  }

  void scanWhileAStoppedScanUnwindsDoesNothing() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    DialogService::SetNextAnswer(QMessageBox::Yes);
    bool nothing_shown = false;
    DuringTheWalk([&] {
      Form3->SpeedButton1->click();
      Form1->FlatButton1->click();
      nothing_shown = !Visible(Form2) && !Visible(Form3);
    });
    Program::ScanFolder(tree.root);
    QVERIFY(nothing_shown);
    QVERIFY(!Visible(Form2));
  }

  void closingTheLauncherDuringAStoppedScanEndsTheProgramWithoutResults() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db(), 300);
    DialogService::SetNextAnswer(QMessageBox::Yes);
    DuringTheWalk([] {
      Form3->SpeedButton1->click();
      Form1->close();
    });
    Program::ScanFolder(tree.root);
    QVERIFY(Form1->ProgramEnding());
    QVERIFY(Form3->ScannedCount() < tree.file_count);
    for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5})
      QVERIFY(!Visible(w));
    QVERIFY(Exists(program_->SettingsFile()));
  }

  void secondScanKeepsTheRowsAndStartsItsCountersAtZero() {
    PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{3});
    // The results dialog stays open; the second scan's figures must replace the first's.
    Form3->close();
    tree = MakePlantedTree(*work_ / "tree", Db());
    QTest::mouseClick(Form4->RadioButton3, Qt::LeftButton);
    std::filesystem::remove(tree.hash_hit);
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{3});
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: 14");
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 2");
    QCOMPARE_STR(Label(Form5->Label3), "Removed: 0");
  }

  void cancelledChoicesReturnToTheLauncher() {
    Form1->FlatButton1->click();
    Form2->RadioButton3->setChecked(true);
    Form2->Button1->click();  // no folder scripted: cancelled
    QVERIFY(Visible(Form1) && !Visible(Form2) && !Visible(Form3) && !Visible(Form5));
    Form1->FlatButton1->click();
    Form2->RadioButton4->setChecked(true);
    Form2->Button1->click();
    QVERIFY(Visible(Form1) && !Visible(Form2) && !Visible(Form3) && !Visible(Form5));
    QVERIFY(DialogService::Shown().empty());
  }

  void eachScanReadsTheNewestInstalledSetChosenAtItsStart() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    const std::string other = tree.root + "/other.bin";
    const std::string other_content = Content(700, 77);
    WriteFile(other, other_content);
    const std::string root = *work_ / "root";
    InstallSet(root, 3, other_content);
    struct RootsOverride {
      QByteArray saved = qgetenv("NERLO_SET_ROOTS");
      ~RootsOverride() { qputenv("NERLO_SET_ROOTS", saved); }
    } restore;
    qputenv("NERLO_SET_ROOTS", QByteArray::fromStdString(root));
    QTest::mouseClick(Form4->RadioButton3, Qt::LeftButton);  // ignore them: files stay
    // Set 3 knows only other.bin: the program directory's databases are not read.
    Program::ScanFolder(tree.root);
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 1");
    QCOMPARE_STR(Form3->Run().DatabaseDirectory(), root + "/sets/3/");
    Form3->close();
    // An update installs set 4, which knows the planted hash file; the next scan reads it.
    InstallSet(root, 4, ReadFile(tree.hash_hit));
    Program::ScanFolder(tree.root);
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 1");
    QCOMPARE_STR(Form3->Run().DatabaseDirectory(), root + "/sets/4/");
    Form3->close();
    // A set whose database differs in size from its manifest is passed over.
    WriteFile(root + "/sets/4/database.db", "changed\r\n");
    Program::ScanFolder(tree.root);
    QCOMPARE_STR(Form3->Run().DatabaseDirectory(), Db() + "/");
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 3");
  }

  void fileTargetScansThatFileAlone() {
    const std::string root = *work_ / "files";
    const std::string content = Content(800, 9);
    WriteDatabases(Db(), {HashEntry(content)}, {}, {"NEVER-PRESENT-STRING"});
    for (const char* name : {"/a*.bin", "/abc.bin", "/sub/a*.bin"}) WriteFile(root + name, content);
    Form1->FlatButton1->click();
    Form2->RadioButton4->setChecked(true);
    DialogService::SetNextFileName(root + "/a*.bin");
    Form2->Button1->click();
    QCOMPARE(Rows().size(), size_t{1});
    QCOMPARE_STR(Rows()[0], root + "/a*.bin|Infected!|Deleted.");
    QVERIFY(!Exists(root + "/a*.bin"));
    QVERIFY(Exists(root + "/abc.bin") && Exists(root + "/sub/a*.bin"));
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: 1");
    QCOMPARE(Form2->LastFileName(), root + "/a*.bin");
  }

  void fileTargetThatCannotBeExaminedIsListedOnceWithItsReason() {
    WriteDatabases(Db(), {}, {}, {"NEVER-PRESENT-STRING"});
    Form1->FlatButton1->click();
    Form2->RadioButton4->setChecked(true);
    DialogService::SetNextFileName("/proc/self/status");
    Form2->Button1->click();
    QCOMPARE(Rows().size(), size_t{1});
    QCOMPARE_STR(Rows()[0], "/proc/self/status|Not examined.|lies on a pseudo file system");
  }

  void folderWithTrailingSeparatorGivesNoDoubledSeparator() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    Program::ScanFolder(tree.root + "/");
    QCOMPARE(Rows().size(), size_t{3});
    for (const std::string& row : Rows()) QVERIFY(row.find("//") == std::string::npos);
  }

  void unusualNamesAreShownWithEscapes() {
    const std::string root = *work_ / "names";
    const std::string content = Content(800, 11);
    WriteDatabases(Db(), {HashEntry(content)}, {}, {"NEVER-PRESENT-STRING"});
    WriteFile(root + "/bad\xFF\nname\\.bin", content);
    Program::ScanFolder(root);
    QCOMPARE(Rows().size(), size_t{1});
    QCOMPARE_STR(Rows()[0], root + "/bad\\xFF\\nname\\\\.bin|Infected!|Deleted.");
  }

  void rowsAndCountersEqualThoseOfTheEngineWithARecordingView() {
    const PlantedTree a = MakePlantedTree(*work_ / "a", Db(), 40);
    const PlantedTree b = MakePlantedTree(*work_ / "b", *work_ / "unused-db", 40);
    Program::ScanFolder(a.root);
    Recorder recorder;
    std::vector<std::string> engine_rows;
    int32_t scanned, infected, removed;
    {
      scan::TScanRun run(recorder, recorder, Db() + "/");
      run.FormShow();
      scan::ScanTarget target;
      std::string error;
      QVERIFY(scan::ResolveScanTarget(b.root, target, &error));
      QVERIFY(scan::WalkScanTarget(run, target) == scan::TargetOutcome::kReached);
      run.WaitForLookups();
      scanned = run.ScannedCount();
      infected = run.InfectedCount();
      removed = run.RemovedCount();
    }
    for (std::string row : recorder.rows)
      engine_rows.push_back(row.replace(0, b.root.size(), a.root));
    std::sort(engine_rows.begin(), engine_rows.end());
    const std::vector<std::string> window_rows = Rows();
    QCOMPARE(window_rows.size(), engine_rows.size());
    for (size_t i = 0; i < engine_rows.size(); ++i) QCOMPARE_STR(window_rows[i], engine_rows[i]);
    QCOMPARE(Form3->ScannedCount(), scanned);
    QCOMPARE(Form3->InfectedCount(), infected);
    QCOMPARE(Form3->RemovedCount(), removed);
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: " + std::to_string(scanned));
  }

  void statusPanelsAndColumnsFollowTheWindowSize() {
    Form3->ShowForm();
    QCOMPARE(Form3->size(), QSize(690, 356));
    const int edges[] = {300, 430, 560, 690};
    for (int i = 0; i < 4; ++i) QCOMPARE(Form3->bb->PanelRect(i).right() + 1, edges[i]);
    QCOMPARE(Form3->bb->PanelRect(4).width(), 0);  // the version panel has no room yet
    QCOMPARE_STR(Panel(0), "IDLE");
    QCOMPARE_STR(Panel(4), "Nerlo v1.00");
    for (int width : {1000, 701, 450}) {
      Form3->resize(width, 400);
      QTRY_COMPARE(Form3->bb->width(), width);
      QCOMPARE(Form3->bb->PanelRect(4).left(), 690);
      QCOMPARE(Form3->bb->PanelRect(4).right() + 1, std::max(690, width));
      const int client = Form3->ListView1->viewport()->width();
      const int c0 = Form3->ListView1->columnWidth(0), c1 = Form3->ListView1->columnWidth(1),
                c2 = Form3->ListView1->columnWidth(2);
      QCOMPARE(c0 + c1 + c2, client);
      QCOMPARE(c1, c2);
      QVERIFY(c0 >= c1 && c0 - c1 <= 2);
    }
    QVERIFY(Form3->bb->SizeGrip()->isVisible());
  }
};

QTEST_MAIN(ScanTest)
#include "scan_test.moc"
