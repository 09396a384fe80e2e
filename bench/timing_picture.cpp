// The README's picture of the timing window: a real run, Scheduled with Logging, against the
// libmodbus slave on loopback, which answers with a varying delay, is slow for a while and stalls
// twice past the time-out. Then the window is drawn offscreen and saved.
//   bench_timing_picture [out.png]

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QTimer>

#include "bench_common.h"
#include "console/master_dlg.h"
#include "modbus_slave.h"
#include "platform/posix/platform.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/timing_window.h"
#include "support/lock_dir.h"
#include "support/temp_dir.h"

int main(int argc, char** argv)
{
    using namespace quarin;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                 : QStringLiteral("docs/images/timing-window.png");
    const QString absolute = QFileInfo(out).absoluteFilePath();
    test::TempDir dir;
    std::string error;
    const std::unique_ptr<bench::ModbusSlave> slave =
        bench::ModbusSlave::tcp("127.0.0.1", 0, -1, error);
    if (!dir.ok() || !slave) {
        std::fprintf(stderr, "%s%s\n", dir.error().c_str(), error.c_str());
        return 1;
    }
    {
        posix::PosixPlatform posix{test::testLockDir()};
        Platform platform = posix.platform();
        qt::ConsoleDialog dialog;
        CMasterDlg console(dialog, platform, slave->port());
        dialog.attach(&console);
        console.onInitDialog();
        dialog.show();
        qobject_cast<QComboBox*>(dialog.widget(ControlId::Port))->setCurrentIndex(0);
        qobject_cast<QLineEdit*>(dialog.widget(ControlId::Address))
            ->setText(QStringLiteral("127.0.0.1"));
        qobject_cast<QLineEdit*>(dialog.widget(ControlId::Timeout))
            ->setText(QStringLiteral("1000"));
        qobject_cast<QLineEdit*>(dialog.widget(ControlId::RegisterCount))
            ->setText(QStringLiteral("10"));
        qobject_cast<QComboBox*>(dialog.widget(ControlId::SampleMode))
            ->setCurrentIndex(ScheduledWithLogging);
        qobject_cast<QLineEdit*>(dialog.widget(ControlId::SampleRate))
            ->setText(QStringLiteral("5"));

        // What the slave does, 20 times a second: mostly quick, slow from 6 to 9 s, and two
        // stalls longer than the time-out.
        std::mt19937 random(7);
        int step = 0;
        QTimer behaviour;
        QObject::connect(&behaviour, &QTimer::timeout, [&] {
            ++step;
            const double seconds = step / 20.0;
            int us = 300 + static_cast<int>(random() % 1200);
            if (seconds >= 6 && seconds < 9) {
                us += 4000 + static_cast<int>(random() % 6000);
            }
            if (random() % 40 == 0) {
                us += 15000 + static_cast<int>(random() % 20000);
            }
            if ((step >= 70 && step < 74) || (step >= 230 && step < 234)) {
                us = 1500000;
            }
            slave->setReplyDelayUs(us);
        });
        behaviour.start(50);
        qobject_cast<QAbstractButton*>(dialog.widget(ControlId::ReadButton))->click();
        QEventLoop loop;
        QTimer::singleShot(14000, &loop, &QEventLoop::quit);
        loop.exec();
        behaviour.stop();
        qobject_cast<QAbstractButton*>(dialog.widget(ControlId::StopButton))->click();
        dialog.waitWhileProcessingEvents([&] { return !console.busy(); }, 10000);

        dialog.showTimingWindow(console.runRecord());
        qt::TimingWindow* window = dialog.timingWindow();
        window->resize(900, 460);
        QEventLoop settle;
        QTimer::singleShot(300, &settle, &QEventLoop::quit);
        settle.exec();
        const bool saved = window->savePng(absolute);
        std::printf("%s %s: %llu transactions, %llu failed\n",
                    saved ? "wrote" : "could not write",
                    absolute.toLocal8Bit().constData(),
                    static_cast<unsigned long long>(console.runRecord().count()),
                    static_cast<unsigned long long>(console.runRecord().failures()));
        dialog.finish();
        if (!saved) {
            return 1;
        }
    }
    return 0;
}
