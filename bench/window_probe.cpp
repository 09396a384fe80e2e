// Preloaded (LD_PRELOAD) into a Qt program by bench_program and scripts/shutdown_check.py, which
// talk to it over the program's stdin and stdout; inert unless QUARIN_BENCH_PROBE is set. It notes
// when the application object is up and when the first window is exposed and painted, counts timer
// events while asked to, plays the operator for a schedule, sets controls, clicks buttons, reports
// and closes message boxes, and closes the console window. It adds no timer of its own: an idle
// program stays idle.
//
// Lines it writes:  APP <ns> | SHOWN <ns> <width> <height> | PAINTED <ns> | TIMERS [<class>=<n>]...
//                   | SCHEDULED <transactions> <errors> <start ns> <stop ns> | ERROR <text>
//                   | BOX <ns> <text> (a message box is shown) | BOXES_CLOSED <ns> <count>
//                   | CLOSING <ns> (just before the console window is closed) | OK <command>
// Lines it reads:   TIMERS (counts since the last TIMERS, then starts afresh)
//                   | SCHEDULE <address> <transactions> | CLOSE (as Escape); end of input: CLOSE
//                   | TEXT <line edit> <text> | INDEX <drop-down list> <index>
//                   | CLICK <button> (from the event loop, so a command it runs may block)
//                   | CLOSE_BOXES (as the operator's OK) | CLOSE_WINDOW (the window's close)
// Controls are named by object name. Times are CLOCK_MONOTONIC nanoseconds.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void say(const std::string& line)
{
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform says so for every dialog; nothing to see.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QStringLiteral("propagateSizeHints"))) {
        return;
    }
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    }
}

// The console: the window that holds the Read button, whatever box is up over it.
QDialog* consoleWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget);
            dialog != nullptr &&
            dialog->findChild<QAbstractButton*>(QStringLiteral("readButton")) != nullptr) {
            return dialog;
        }
    }
    return nullptr;
}

QDialog* shownDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget);
            dialog != nullptr && dialog->isVisible()) {
            return dialog;
        }
    }
    return nullptr;
}

class Probe : public QObject
{
public:
    Probe() : QObject(QCoreApplication::instance())
    {
        auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        QObject::connect(input, &QSocketNotifier::activated, this, [this, input] {
            char buffer[512];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                input->setEnabled(false);
                command("CLOSE");
                return;
            }
            m_input.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end = m_input.find('\n'); end != std::string::npos;
                 end = m_input.find('\n')) {
                const std::string line = m_input.substr(0, end);
                m_input.erase(0, end + 1);
                command(line);
            }
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Expose && !m_shown) {
            auto* window = qobject_cast<QWindow*>(watched);
            if (window != nullptr && window->isExposed()) {
                m_shown = true;
                say("SHOWN " + std::to_string(nowNs()) + " " + std::to_string(window->width()) +
                    " " + std::to_string(window->height()));
                // Runs once the events queued by now, the first paint among them, are done.
                QTimer::singleShot(0, this, [] { say("PAINTED " + std::to_string(nowNs())); });
            }
        } else if (event->type() == QEvent::Show) {
            if (auto* box = qobject_cast<QMessageBox*>(watched); box != nullptr) {
                QString text = box->text();
                text.replace(QLatin1Char('\n'), QLatin1Char(' '));
                say("BOX " + std::to_string(nowNs()) + " " + text.toStdString());
            }
        } else if (event->type() == QEvent::Timer && m_countTimers) {
            ++m_timers[watched->metaObject()->className()];
        }
        return false;
    }

private:
    void command(const std::string& line)
    {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "TIMERS") {
            std::string text = "TIMERS";
            for (const auto& [name, count] : m_timers) {
                text += " " + name + "=" + std::to_string(count);
            }
            say(text);
            m_timers.clear();
            m_countTimers = true;
        } else if (verb == "SCHEDULE") {
            std::string address;
            long transactions = 0;
            in >> address >> transactions;
            schedule(address, transactions);
        } else if (verb == "TEXT" || verb == "INDEX" || verb == "CLICK") {
            std::string name;
            in >> name;
            std::string value;
            std::getline(in >> std::ws, value);
            control(verb, name, value);
        } else if (verb == "CLOSE_BOXES") {
            int count = 0;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget);
                    box != nullptr && box->isVisible()) {
                    box->done(QMessageBox::Ok);
                    ++count;
                }
            }
            say("BOXES_CLOSED " + std::to_string(nowNs()) + " " + std::to_string(count));
        } else if (verb == "CLOSE_WINDOW") {
            QDialog* console = consoleWindow();
            if (console == nullptr) {
                say("ERROR no console window");
                return;
            }
            say("CLOSING " + std::to_string(nowNs()));
            console->close();
        } else if (verb == "CLOSE") {
            m_countTimers = false;
            if (QDialog* dialog = shownDialog(); dialog != nullptr) {
                dialog->reject();
            } else {
                QCoreApplication::quit();
            }
        } else {
            say("ERROR unknown command " + verb);
        }
    }

    void control(const std::string& verb, const std::string& name, const std::string& value)
    {
        QDialog* console = consoleWindow();
        const QString objectName = QString::fromStdString(name);
        if (verb == "TEXT") {
            auto* edit = console ? console->findChild<QLineEdit*>(objectName) : nullptr;
            if (edit == nullptr) {
                say("ERROR no line edit " + name);
                return;
            }
            edit->setText(QString::fromStdString(value));
        } else if (verb == "INDEX") {
            auto* list = console ? console->findChild<QComboBox*>(objectName) : nullptr;
            if (list == nullptr) {
                say("ERROR no drop-down list " + name);
                return;
            }
            list->setCurrentIndex(std::atoi(value.c_str()));
        } else {
            auto* button = console ? console->findChild<QAbstractButton*>(objectName) : nullptr;
            if (button == nullptr) {
                say("ERROR no button " + name);
                return;
            }
            // A manual read runs on the window's thread and may open a box: later commands must
            // still be read while it runs.
            QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        }
        say("OK " + verb + " " + name);
    }

    // Scheduled with Logging at 1 ms against the address, as the operator sets it up; Stop once
    // the count has been reached.
    void schedule(const std::string& address, long transactions)
    {
        QDialog* dialog = shownDialog();
        auto* addressEdit =
            dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("addressEdit")) : nullptr;
        auto* countEdit =
            dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("transactionCountEdit"))
                   : nullptr;
        auto* errorEdit =
            dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("errorCountEdit")) : nullptr;
        auto* rateEdit =
            dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("sampleRateEdit")) : nullptr;
        auto* mode =
            dialog ? dialog->findChild<QComboBox*>(QStringLiteral("sampleModeCombo")) : nullptr;
        auto* read =
            dialog ? dialog->findChild<QAbstractButton*>(QStringLiteral("readButton")) : nullptr;
        auto* stop =
            dialog ? dialog->findChild<QAbstractButton*>(QStringLiteral("stopButton")) : nullptr;
        if (addressEdit == nullptr || countEdit == nullptr || errorEdit == nullptr ||
            rateEdit == nullptr || mode == nullptr || read == nullptr || stop == nullptr) {
            say("ERROR no console window");
            return;
        }
        addressEdit->setText(QString::fromLatin1(address.c_str()));
        rateEdit->setText(QStringLiteral("1"));
        mode->setCurrentIndex(2); // Scheduled with Logging (Automated)
        const std::int64_t start = nowNs();
        auto done = std::make_shared<bool>(false);
        QObject::connect(
            countEdit,
            &QLineEdit::textChanged,
            this,
            [this, done, transactions, stop, countEdit, errorEdit, start](const QString& text) {
                if (*done || text.toLong() < transactions) {
                    return;
                }
                *done = true;
                stop->click();
                const std::int64_t stopped = nowNs();
                // The last transaction finishes after Stop; its count is in already.
                QTimer::singleShot(300, this, [countEdit, errorEdit, start, stopped] {
                    say("SCHEDULED " + countEdit->text().toStdString() + " " +
                        errorEdit->text().toStdString() + " " + std::to_string(start) + " " +
                        std::to_string(stopped));
                });
            });
        read->click();
    }

    bool m_shown = false;
    bool m_countTimers = false;
    std::map<std::string, long> m_timers;
    std::string m_input;
};

void startProbe()
{
    if (std::getenv("QUARIN_BENCH_PROBE") == nullptr) {
        return;
    }
    say("APP " + std::to_string(nowNs()));
    g_previousHandler = qInstallMessageHandler(quietHandler);
    QCoreApplication::instance()->installEventFilter(new Probe);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)
