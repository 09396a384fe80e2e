#include "platform/qt/master_app.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include "console/master_dlg.h"
#include "platform/posix/platform.h"
#include "platform/qt/app_icon.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/list_texts.h"
#include "platform/serial_port.h"

namespace quarin::qt {

namespace {

constexpr int kPortCount = 16;

// Shows on each COMn entry the device it opens and, for a USB adapter, its stable by-id name,
// which is what the operator recognises.
void showPortDevices(ConsoleDialog& dialog, const SerialPorts& ports)
{
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QFileInfoList named =
        byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (int port = 1; port <= kPortCount; ++port) {
        const std::string path = ports.devicePath(port);
        if (path.empty()) {
            continue;
        }
        QString tip = QString::fromLocal8Bit(path.c_str());
        const QFileInfo device(tip);
        const QString target = device.canonicalFilePath();
        // A COMn link in the working folder: say which device it reaches.
        if (!target.isEmpty() && target != device.absoluteFilePath()) {
            tip += QLatin1Char('\n') + target;
        }
        for (const QFileInfo& link : named) {
            if (!target.isEmpty() && link.canonicalFilePath() == target) {
                tip += QLatin1Char('\n') + link.fileName();
            }
        }
        dialog.setItemToolTip(ControlId::Port, port, tip.toLocal8Bit().toStdString());
    }
}

} // namespace

CMasterApp::CMasterApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

int CMasterApp::run()
{
    QApplication app(m_argc, m_argv);
    QApplication::setApplicationName(QString::fromLatin1(kMessageBoxTitle));
    QApplication::setWindowIcon(appIcon());

    posix::PosixPlatform adapters;
    Platform platform = adapters.platform();
    ConsoleDialog dialog;
    CMasterDlg console(dialog, platform);
    dialog.attach(&console);
    showPortDevices(dialog, platform.serial);

    // An incompatible settings file has been reported by then; the window never opens.
    if (console.onInitDialog()) {
        dialog.exec();
    }
    dialog.finish();

    // A worker that did not come back from its halt may still touch the console or the link:
    // end here rather than destroy what it holds.
    if (platform.workers.running() > 0) {
        std::fflush(nullptr);
        std::_Exit(EXIT_SUCCESS);
    }
    return EXIT_SUCCESS;
}

} // namespace quarin::qt
