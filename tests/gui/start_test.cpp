// The desktop program started with arguments: how they are read, and a scan of the files and
// folders given, run without the launcher or the scan-target dialog.
#include <QtTest>

#include "app/command_line.h"
#include "gui_test_util.h"
#include "platform/message_queue.h"

using namespace nerlo;
using namespace nerlo::guitest;
using app::CommandLine;
using windows::DialogService;

namespace {

CommandLine Parse(std::vector<std::string> args) { return app::ParseCommandLine(args); }

CommandLine ScanOf(std::vector<std::string> paths) {
  CommandLine command;
  command.action = CommandLine::Action::kScanPaths;
  command.paths = std::move(paths);
  return command;
}

}  // namespace

class StartTest : public GuiTestCase {
  Q_OBJECT

 public:
  // The windows are made, but the launcher is not shown: the program was given paths.
  StartTest() : GuiTestCase(/*start_launcher=*/false) {}

 private slots:

  void argumentsAreReadAsTheUserMeantThem() {
    QVERIFY(Parse({}).action == CommandLine::Action::kLauncher);
    const CommandLine paths = Parse({"/home/a b", "-", "rel/x", "\xff\xfe"});
    QVERIFY(paths.action == CommandLine::Action::kScanPaths);
    QCOMPARE(paths.paths, (std::vector<std::string>{"/home/a b", "-", "rel/x", "\xff\xfe"}));
    // "--" ends the options: a file called "--help" or "-x" is a path like any other.
    const CommandLine dashed = Parse({"a", "--", "--help", "-x", "--"});
    QVERIFY(dashed.action == CommandLine::Action::kScanPaths);
    QCOMPARE(dashed.paths, (std::vector<std::string>{"a", "--help", "-x", "--"}));
    QVERIFY(Parse({"a", "--version", "b"}).action == CommandLine::Action::kVersion);
    QVERIFY(Parse({"--bogus", "--help"}).action == CommandLine::Action::kHelp);
    QVERIFY(Parse({"--all-drives"}).action == CommandLine::Action::kScanAllDrives);

    const CommandLine unknown = Parse({"a", "-x", "--other"});
    QVERIFY(unknown.action == CommandLine::Action::kError);
    QCOMPARE_STR(unknown.error, "unknown option \"-x\"");
    QVERIFY(unknown.paths.empty());
    QVERIFY(Parse({"--all-drives", "/tmp"}).action == CommandLine::Action::kError);

    // Only what comes before "--" can ask for a text without a display.
    QVERIFY(app::AsksForTextOnly({"x", "--help"}));
    QVERIFY(app::AsksForTextOnly({"--version"}));
    QVERIFY(!app::AsksForTextOnly({"--", "--help"}));
    QVERIFY(!app::AsksForTextOnly({"x"}));
    // One line each, whatever the display.
    for (const std::string& text : {app::NoDisplayText(""), app::NoDisplayText(":5")}) {
      QCOMPARE(std::count(text.begin(), text.end(), '\n'), 1);
      QVERIFY(text.back() == '\n');
    }
    QVERIFY(app::NoDisplayText(":5").find("cannot open the display :5") != std::string::npos);
  }

  void givenPathsAreScannedAsOneScanWithoutTheLauncher() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    // A single file elsewhere, detected by its fingerprint: the tree's databases hold it.
    const std::string lone = *work_ / "elsewhere/lone.bin";
    WriteFile(lone, ReadFile(tree.hash_hit));
    const std::string beside = *work_ / "elsewhere/beside.bin";
    WriteFile(beside, ReadFile(tree.hash_hit));
    const std::string missing = *work_ / "no such file";
    bool launcher_seen = false;
    platform::Queue([&] { launcher_seen = Visible(Form1) || Visible(Form2); });

    app::StartCommandLineScan(ScanOf({tree.root, missing, lone}));

    QVERIFY(!launcher_seen);
    QVERIFY(DialogService::Shown().empty());
    std::vector<std::string> expected = {
        tree.hash_hit + "|Infected!|Deleted.", tree.heuristic_hit + "|Infected!|Deleted.",
        tree.window_hit + "|Infected!|Deleted.", lone + "|Infected!|Deleted.",
        missing + "|Not examined.|No such file or directory"};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(Rows(), expected);
    // No settings file: the settings were loaded ("Delete them"), as the launcher loads them.
    QVERIFY(!Exists(tree.hash_hit) && !Exists(lone));
    QVERIFY(Exists(beside));  // a file named alone is that file, not its folder
    for (const std::string& clean : tree.clean) QVERIFY(Exists(clean));
    // One scan: the counters run across the paths and the results are shown once.
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: " + std::to_string(tree.file_count + 1));
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 4");
    QCOMPARE_STR(Label(Form5->Label3), "Removed: 4");
    QVERIFY(Visible(Form3) && Visible(Form5) && !Visible(Form1) && !Visible(Form2));
    // Closing the scanner window brings the launcher, as after any scan.
    QVERIFY(Form3->close());
    QVERIFY(Visible(Form1));
  }

  void theSavedSettingsApplyToAScanOfGivenPaths() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    WriteFile(program_->SettingsFile(), "[Settings]\nUseHeuristics=0\nDelete=0\nIgnore=1\n");
    app::StartCommandLineScan(ScanOf({tree.root}));
    QVERIFY(Rows().empty());
    QVERIFY(Exists(tree.hash_hit) && Exists(tree.heuristic_hit) && Exists(tree.window_hit));
    QCOMPARE_STR(Label(Form5->Label2), "Infected: 2");  // heuristics off
  }

  void stopDuringTheFirstPathScansNoneOfTheOthers() {
    const PlantedTree first = MakePlantedTree(*work_ / "first", Db(), 300);
    const std::string second = *work_ / "second/hit.bin";
    WriteFile(second, ReadFile(first.hash_hit));
    DialogService::SetNextAnswer(QMessageBox::Yes);
    DuringTheWalk([] { Form3->SpeedButton1->click(); });
    app::StartCommandLineScan(ScanOf({first.root, *work_ / "second"}));
    QCOMPARE(DialogService::Shown().size(), size_t{1});
    QVERIFY(Form3->ScannedCount() < first.file_count);
    QVERIFY(Exists(second));
    QVERIFY(Visible(Form1) && !Visible(Form3) && Visible(Form5));
  }

  void nothingScannableStillShowsWhyAndTheResults() {
    const std::string missing = *work_ / "gone";
    app::StartCommandLineScan(ScanOf({missing}));
    QCOMPARE(Rows(),
             (std::vector<std::string>{missing + "|Not examined.|No such file or directory"}));
    QCOMPARE_STR(Label(Form5->Label1), "Files scanned: 0");
    QVERIFY(Visible(Form3) && Visible(Form5) && !Visible(Form1));
  }
};

QTEST_MAIN(StartTest)
#include "start_test.moc"
