#include "platform/qt/master_app.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "console/master_dlg.h"
#include "platform/posix/platform.h"
#include "platform/posix/port_probe.h"
#include "platform/qt/app_icon.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/list_texts.h"

namespace quarin::qt {

CMasterApp::CMasterApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

int CMasterApp::run()
{
    QApplication app(m_argc, m_argv);
    QApplication::setApplicationName(QString::fromLatin1(kMessageBoxTitle));
    QApplication::setWindowIcon(appIcon());

    posix::PosixPlatform adapters(posix::kUucpLockDir);
    Platform platform = adapters.platform();
    // Port tooltips and the capture detail look at the device without opening it.
    const posix::PosixPortProbe probe;
    ConsoleDialog dialog;
    CMasterDlg console(dialog, platform);
    console.setPortProbe(&probe);
    dialog.attach(&console);

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
