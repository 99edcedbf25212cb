// The desktop program's message queue over Qt's event loop.
#include <QThread>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/qt_message_queue.h"
#include "app/qt_platform.h"

using nerlo::app::QtMessageQueue;
using namespace std::chrono_literals;

class QueueTest : public QObject {
  Q_OBJECT

 private slots:
  void callsFromWorkersRunOnTheUserInterfaceThreadInPostingOrder() {
    QtMessageQueue queue;
    std::vector<int> order;
    std::atomic<bool> off_thread{false};
    const auto ui = std::this_thread::get_id();
    std::thread worker([&] {
      for (int i = 0; i < 50; ++i) {
        if (i % 2 == 0) {
          queue.Queue([&order, &off_thread, ui, i] {
            if (std::this_thread::get_id() != ui) off_thread = true;
            order.push_back(i);
          });
        } else {
          // A hit report waits until it has run; the end notice after it must follow it.
          queue.Synchronize([&order, &off_thread, ui, i] {
            if (std::this_thread::get_id() != ui) off_thread = true;
            order.push_back(i);
          });
        }
      }
    });
    while (order.size() < 50) queue.WaitForMessages(20ms);
    worker.join();
    QVERIFY(!off_thread);
    for (int i = 0; i < 50; ++i) QCOMPARE(order[static_cast<size_t>(i)], i);
  }

  void synchronizeOnTheUserInterfaceThreadRunsAtOnceAndSwallowsExceptions() {
    QtMessageQueue queue;
    bool ran = false;
    queue.Synchronize([&] { ran = true; });
    QVERIFY(ran);
    queue.Synchronize([] { throw std::runtime_error("swallowed"); });
  }

  // The rule of every queue: what escapes a posted call is swallowed, the calls after it run.
  void exceptionsFromPostedCallsAreSwallowedAndLaterCallsRun() {
    QtMessageQueue queue;
    std::vector<int> order;
    queue.Queue([&] {
      order.push_back(1);
      throw std::runtime_error("queued");
    });
    queue.Queue([&] { order.push_back(2); });
    queue.WaitForMessages(10ms);
    QCOMPARE(order, (std::vector<int>{1, 2}));
    std::thread worker([&] {
      queue.Synchronize([&] {
        order.push_back(3);
        throw 3;
      });
      queue.Queue([&] { order.push_back(4); });
    });
    while (order.size() < 4) queue.WaitForMessages(50ms);
    worker.join();
    QCOMPARE(order, (std::vector<int>{1, 2, 3, 4}));
  }

  void qtEventsAreProcessedAtMostOncePerIntervalPostedCallsAlways() {
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    QtMessageQueue queue([&now] { return now; });
    QObject receiver;
    int events = 0, calls = 0;
    queue.ProcessMessages();  // starts the interval
    QMetaObject::invokeMethod(
        &receiver, [&] { ++events; }, Qt::QueuedConnection);
    queue.Queue([&] { ++calls; });
    queue.ProcessMessages();  // too soon for Qt's events, not for the posted call
    QCOMPARE(events, 0);
    QCOMPARE(calls, 1);
    now += QtMessageQueue::kMinimumInterval - 1us;
    queue.ProcessMessages();
    QCOMPARE(events, 0);
    now += 1us;
    queue.ProcessMessages();
    QCOMPARE(events, 1);
    // WaitForMessages never skips Qt's events, however soon it comes.
    QMetaObject::invokeMethod(
        &receiver, [&] { ++events; }, Qt::QueuedConnection);
    queue.WaitForMessages(0ms);
    QCOMPARE(events, 2);
  }

  void postedCallsRunFromTheEventLoopWithoutAnyPump() {
    QtMessageQueue queue;
    std::atomic<bool> done{false};
    std::thread worker([&] { queue.Synchronize([&] { done = true; }); });
    QTRY_VERIFY(done);  // QTest's own waiting runs Qt's event loop only
    worker.join();
  }

  void waylandSessionsAskForX11UnlessTheUserChose() {
    using nerlo::app::QtPlatformOverride;
    QCOMPARE(QtPlatformOverride(nullptr, "wayland", nullptr, ":0"), "xcb");
    QCOMPARE(QtPlatformOverride(nullptr, nullptr, "wayland-0", ":0"), "xcb");
    QCOMPARE(QtPlatformOverride("", "wayland", "wayland-0", ":0"), "xcb");
    QVERIFY(QtPlatformOverride("wayland", "wayland", "wayland-0", ":0") == nullptr);
    QVERIFY(QtPlatformOverride(nullptr, "x11", nullptr, ":0") == nullptr);
    QVERIFY(QtPlatformOverride(nullptr, "wayland", "wayland-0", nullptr) == nullptr);
  }

  void waitForMessagesReturnsAfterItsTimeoutWhenNothingArrives() {
    QtMessageQueue queue;
    const auto start = std::chrono::steady_clock::now();
    queue.WaitForMessages(30ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    QVERIFY(waited < 5s);  // it returns; how exactly it is timed is the event loop's
  }
};

QTEST_MAIN(QueueTest)
#include "queue_test.moc"
