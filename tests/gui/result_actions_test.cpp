// The scanner window's result list as something to act on: the context menu of a row (copy
// the path, restore a deleted file from the quarantine), Ctrl+C, and the saved results.
#include <fcntl.h>
#include <sys/stat.h>

#include <QClipboard>
#include <QMenu>
#include <QtTest>

#include "gui_test_util.h"

using namespace nerlo;
using namespace nerlo::guitest;
using windows::DialogService;

namespace {

QTreeWidgetItem* RowOf(const std::string& path) {
  for (int i = 0; i < Form3->ListView1->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = Form3->ListView1->topLevelItem(i);
    if (windows::TForm3::RowPath(item) == path) return item;
  }
  return nullptr;
}

QAction* ActionOf(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions())
    if (action->text() == text) return action;
  return nullptr;
}

}  // namespace

class ResultActionsTest : public GuiTestCase {
  Q_OBJECT

 public:
  ResultActionsTest() : GuiTestCase(/*start_launcher=*/true) {}

 private slots:

  void restoreFromTheContextMenuBringsTheFileBackWithModeAndTime() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    const std::string bytes = ReadFile(tree.heuristic_hit);
    QCOMPARE(chmod(tree.heuristic_hit.c_str(), 0604), 0);
    const struct timespec times[2] = {{1500000000, 5}, {1500000000, 5}};
    QCOMPARE(utimensat(AT_FDCWD, tree.heuristic_hit.c_str(), times, 0), 0);
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{3});
    QCOMPARE(Form3->Run().QuarantinedCount(), 3);
    QTreeWidgetItem* row = RowOf(tree.heuristic_hit);
    QVERIFY(row != nullptr);
    QCOMPARE(row->text(2), QString("Deleted."));
    QVERIFY(!std::filesystem::exists(tree.heuristic_hit));

    std::unique_ptr<QMenu> menu(Form3->ResultMenu(row));
    QStringList texts;
    for (QAction* action : menu->actions())
      if (!action->isSeparator()) texts << action->text();
    QCOMPARE(texts, (QStringList{"&Copy path", "&Open containing folder", "&Restore",
                                 "&Save results..."}));
    QAction* restore = ActionOf(menu.get(), "&Restore");
    QVERIFY(restore->isEnabled());
    restore->trigger();
    QCOMPARE(ReadFile(tree.heuristic_hit), bytes);
    struct stat st;
    QCOMPARE(stat(tree.heuristic_hit.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0604u);
    QCOMPARE(st.st_mtim.tv_sec, 1500000000);
    QCOMPARE(st.st_mtim.tv_nsec, 5);
    QCOMPARE(DialogService::Shown().back().text,
             QString::fromStdString("Restored: " + tree.heuristic_hit));
    // Restored once: the row offers it no more; the documented row stays as it was.
    std::unique_ptr<QMenu> again(Form3->ResultMenu(row));
    QVERIFY(!ActionOf(again.get(), "&Restore")->isEnabled());
    QCOMPARE(row->text(2), QString("Deleted."));

    // A file back in the place of another row's: not replaced, and the box says so.
    QTreeWidgetItem* hash_row = RowOf(tree.hash_hit);
    WriteFile(tree.hash_hit, "a new file");
    std::unique_ptr<QMenu> third(Form3->ResultMenu(hash_row));
    ActionOf(third.get(), "&Restore")->trigger();
    QVERIFY(DialogService::Shown().back().text.contains("exists; it is not replaced"));
    QCOMPARE(ReadFile(tree.hash_hit), std::string("a new file"));
  }

  void copyPathCtrlCAndSaveResults() {
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{3});
    QTreeWidgetItem* first = Form3->ListView1->topLevelItem(0);
    QTreeWidgetItem* third = Form3->ListView1->topLevelItem(2);
    std::unique_ptr<QMenu> menu(Form3->ResultMenu(first));
    ActionOf(menu.get(), "&Copy path")->trigger();
    QCOMPARE(QApplication::clipboard()->text(),
             QString::fromStdString(windows::TForm3::RowPath(first)));

    Form3->ListView1->clearSelection();
    third->setSelected(true);
    first->setSelected(true);
    Form3->ListView1->setFocus();
    QTest::keyClick(Form3->ListView1, Qt::Key_C, Qt::ControlModifier);
    const QString expected =
        first->text(0) + "\tInfected!\tDeleted.\n" + third->text(0) + "\tInfected!\tDeleted.\n";
    QCOMPARE(QApplication::clipboard()->text(), expected);

    // Beside the rows: only "Save results..." can be chosen.
    std::unique_ptr<QMenu> empty(Form3->ResultMenu(nullptr));
    QVERIFY(!ActionOf(empty.get(), "&Copy path")->isEnabled());
    QVERIFY(!ActionOf(empty.get(), "&Restore")->isEnabled());
    DialogService::SetNextFileName(*work_ / "results.csv");
    ActionOf(empty.get(), "&Save results...")->trigger();
    const std::string csv = ReadFile(*work_ / "results.csv");
    QVERIFY(csv.rfind("Location,Diagnostic,Action\r\n", 0) == 0);
    QVERIFY(csv.find(tree.hash_hit + ",Infected!,Deleted.\r\n") != std::string::npos);
    QVERIFY(csv.find("\r\nScanned,15\r\nInfected,3\r\nRemoved,3\r\nQuarantined,3\r\n") !=
            std::string::npos);
    DialogService::SetNextFileName(*work_ / "results");  // no extension: a text file
    Form3->SaveResults();
    const std::string text = ReadFile(*work_ / "results.txt");
    QVERIFY(text.find(tree.window_hit + "\tInfected!\tDeleted.\n") != std::string::npos);
    QVERIFY(text.find("\nScanned: 15\nInfected: 3\nRemoved: 3\n") != std::string::npos);
  }

  void withKeepOffRowsOfferNoRestore() {
    WriteFile(program_->SettingsFile(), "[Quarantine]\nKeep=0\n");
    const PlantedTree tree = MakePlantedTree(*work_ / "tree", Db());
    Program::ScanFolder(tree.root);
    QCOMPARE(Rows().size(), size_t{3});
    QCOMPARE(Form3->Run().QuarantinedCount(), 0);
    std::unique_ptr<QMenu> menu(Form3->ResultMenu(Form3->ListView1->topLevelItem(0)));
    QVERIFY(ActionOf(menu.get(), "&Copy path")->isEnabled());
    QVERIFY(!ActionOf(menu.get(), "&Restore")->isEnabled());
    QVERIFY(!std::filesystem::exists(program_->QuarantineDir()));
  }
};

QTEST_MAIN(ResultActionsTest)
#include "result_actions_test.moc"
