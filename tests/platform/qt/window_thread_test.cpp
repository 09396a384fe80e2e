#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/qt/console_dialog.h"
#include "support/thread_wait.h"

namespace quarin::qt {
namespace {

using namespace std::chrono_literals;

constexpr int kPatienceMs = 10000;

// Waits without processing events, so nothing posted to the window runs meanwhile.
bool waitBlocked(const std::atomic<bool>& flag)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(WindowThread, CallFromAnotherThreadRunsOnTheWindowThread)
{
    ConsoleDialog dialog;
    std::atomic<bool> finished{false};
    bool result = false;
    QThread* ranOn = nullptr;
    std::string address;
    std::thread worker([&] {
        result = dialog.runOnWindowThread([&] { ranOn = QThread::currentThread(); });
        // A control touched from here is carried over to the window's thread as well.
        dialog.setText(ControlId::Address, "192.168.0.7");
        address = dialog.text(ControlId::Address);
        finished = true;
    });
    EXPECT_TRUE(dialog.waitWhileProcessingEvents([&] { return finished.load(); }, kPatienceMs));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(ranOn, QThread::currentThread());
    EXPECT_EQ(address, "192.168.0.7");
}

TEST(WindowThread, CallOnTheWindowThreadRunsAtOnce)
{
    ConsoleDialog dialog;
    bool ran = false;
    // Waiting for our own event loop here would never end.
    EXPECT_TRUE(dialog.runOnWindowThread([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(dialog.onWindowThread());
}

TEST(WindowThread, HaltCancelsAWaitingCallForGood)
{
    ConsoleDialog dialog;
    std::atomic<bool> calling{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> ran{false};
    std::atomic<bool> result{true};
    pid_t caller = 0;
    std::thread worker([&] {
        caller = ::gettid();
        calling = true;
        result = dialog.runOnWindowThread([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(waitBlocked(calling));
    // Once the caller sleeps, the call is posted and waits; this thread runs no events, as when it
    // is itself busy.
    EXPECT_TRUE(test::waitUntilWaiting(caller));
    EXPECT_FALSE(returned.load());
    dialog.halt();
    const bool woke = waitBlocked(returned);
    EXPECT_TRUE(woke) << "halt() did not wake the waiting caller";
    if (!woke) {
        dialog.waitWhileProcessingEvents([&] { return returned.load(); }, kPatienceMs);
    }
    worker.join();
    EXPECT_FALSE(result.load());

    // The posted call arrives now, and must not run behind its caller's back.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran.load());

    std::thread late([&] { result = dialog.runOnWindowThread([&] { ran = true; }); });
    late.join();
    EXPECT_FALSE(result.load());
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran.load());
}

TEST(WindowThread, HaltClosesTheMessageBoxAWorkerWaitsOn)
{
    ConsoleDialog dialog;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        dialog.messageBox("Timeout waiting on a response", MessageIcon::Error);
        finished = true;
    });
    // The box runs its own event loop on this thread; look at it from inside that loop.
    std::string title;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool workerWaited = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &dialog, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        probe.stop();
        title = box->windowTitle().toStdString();
        text = box->text().toStdString();
        icon = box->icon();
        workerWaited = !finished.load();
        dialog.halt();
    });
    probe.start(5);
    EXPECT_TRUE(dialog.waitWhileProcessingEvents([&] { return finished.load(); }, kPatienceMs));
    if (!finished.load()) {
        dialog.halt();
        dialog.waitWhileProcessingEvents([&] { return finished.load(); }, kPatienceMs);
    }
    worker.join();
    EXPECT_EQ(title, "Quarin");
    EXPECT_EQ(text, "Timeout waiting on a response");
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(workerWaited) << "the worker waits while its box is open";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // Once halted, no worker's box holds anyone up. Should one open anyway, close it and fail.
    bool boxOpened = false;
    QTimer::singleShot(2000, &dialog, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            boxOpened = true;
            modal->close();
        }
    });
    std::atomic<bool> lateFinished{false};
    std::thread late([&] {
        dialog.messageBox("Another", MessageIcon::Information);
        lateFinished = true;
    });
    EXPECT_TRUE(dialog.waitWhileProcessingEvents([&] { return lateFinished.load(); }, 3000));
    late.join();
    EXPECT_FALSE(boxOpened);
}

// The window closed while a worker's box is up: the clean-up runs inside the box's loop, inside
// the worker's call, so waiting there for the worker could only run out the time.
TEST(WindowThread, WaitInsideAWorkersCallReturnsAtOnce)
{
    ConsoleDialog dialog;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        dialog.messageBox("Timeout waiting on a response", MessageIcon::Error);
        finished = true;
    });
    bool innerResult = true;
    auto innerTook = std::chrono::steady_clock::duration::max();
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &dialog, [&] {
        if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) == nullptr) {
            return;
        }
        probe.stop();
        dialog.halt();
        const auto begun = std::chrono::steady_clock::now();
        innerResult =
            dialog.waitWhileProcessingEvents([&] { return finished.load(); }, kPatienceMs);
        innerTook = std::chrono::steady_clock::now() - begun;
    });
    probe.start(5);
    EXPECT_TRUE(dialog.waitWhileProcessingEvents([&] { return finished.load(); }, 3 * kPatienceMs));
    worker.join();
    EXPECT_FALSE(innerResult) << "the worker cannot have finished inside its own call";
    EXPECT_LT(innerTook, std::chrono::milliseconds(kPatienceMs / 2));
}

TEST(WindowThread, InformationBoxCarriesItsIcon)
{
    ConsoleDialog dialog;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer::singleShot(0, &dialog, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        }
    });
    dialog.messageBox("Information", MessageIcon::Information);
    EXPECT_EQ(icon, QMessageBox::Information);
}

} // namespace
} // namespace quarin::qt
