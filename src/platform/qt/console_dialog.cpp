#include "platform/qt/console_dialog.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include "platform/qt/about_dlg.h"
#include "platform/qt/app_icon.h"
#include "platform/qt/list_texts.h"
#include "platform/qt/plain_tooltip.h"
#include "ui_console_dialog.h"

namespace quarin::qt {

namespace {

// Latin-1 both ways: the console's texts are 8-bit, and every byte must come back as it went.
QString toQString(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Tooltips and details are ours, not console texts, and may hold file names: UTF-8.
QString fromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Texts from outside (an identification, an address, a device's name) may look like markup, and
// Qt renders what looks like markup. Every box and every tooltip is made through these two, so
// each shows the characters it was given.
QMessageBox* newBox(QMessageBox::Icon icon, const QString& text, QWidget* parent)
{
    auto* box =
        new QMessageBox(icon, QString::fromLatin1(kMessageBoxTitle), text, QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    return box;
}

// A tooltip has no plain format of its own: one Qt would take for markup goes in escaped, its
// line breaks and blanks kept.
QString toolTipText(std::string_view utf8)
{
    const QString text = fromUtf8(utf8);
    if (!Qt::mightBeRichText(text)) {
        return text;
    }
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

std::string toStdString(const QString& text)
{
    return text.toLatin1().toStdString();
}

template <std::size_t N> void fill(QComboBox* combo, const char* const (&entries)[N])
{
    for (const char* entry : entries) {
        combo->addItem(QString::fromLatin1(entry));
    }
}

bool rowValid(int row)
{
    return row >= 0 && row < kValueRows;
}

} // namespace

ConsoleDialog::ConsoleDialog(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ConsoleDialog>())
{
    m_ui->setupUi(this);
    setWindowIcon(appIcon());
    m_labelEdits = {m_ui->labelEdit0,
                    m_ui->labelEdit1,
                    m_ui->labelEdit2,
                    m_ui->labelEdit3,
                    m_ui->labelEdit4,
                    m_ui->labelEdit5,
                    m_ui->labelEdit6,
                    m_ui->labelEdit7,
                    m_ui->labelEdit8,
                    m_ui->labelEdit9};
    m_valueEdits = {m_ui->valueEdit0,
                    m_ui->valueEdit1,
                    m_ui->valueEdit2,
                    m_ui->valueEdit3,
                    m_ui->valueEdit4,
                    m_ui->valueEdit5,
                    m_ui->valueEdit6,
                    m_ui->valueEdit7,
                    m_ui->valueEdit8,
                    m_ui->valueEdit9};
    fillLists();

    m_protocolButtons = new QButtonGroup(this);
    m_protocolButtons->addButton(m_ui->modbusRadio, Modbus);
    m_protocolButtons->addButton(m_ui->jbusRadio, Jbus);
    m_protocolButtons->addButton(m_ui->asciiRadio, ModbusAscii);
    m_displayButtons = new QButtonGroup(this);
    m_displayButtons->addButton(m_ui->decimalRadio, Decimal);
    m_displayButtons->addButton(m_ui->hexRadio, Hex);

    // Tooltips are made as they are asked for (eventFilter).
    m_ui->portCombo->installEventFilter(this);
    m_ui->portCombo->view()->viewport()->installEventFilter(this);
    for (QLineEdit* label : m_labelEdits) {
        label->installEventFilter(this);
    }

    m_paintTimer = new QTimer(this);
    m_paintTimer->setSingleShot(true);
    connect(m_paintTimer, &QTimer::timeout, this, [this] {
        QEvent paint(QEvent::UpdateRequest);
        event(&paint);
    });

    // There is no system menu to carry the About entry, so the help key opens it.
    auto* about = new QShortcut(QKeySequence(QKeyCombination(Qt::Key_F1)), this);
    connect(about, &QShortcut::activated, this, &ConsoleDialog::showAbout);
}

ConsoleDialog::~ConsoleDialog()
{
    // Wakes any caller still waiting for the window's thread; the window cannot serve it now.
    halt();
    while (m_busyCursorDepth > 0) {
        setBusyCursor(false);
    }
}

void ConsoleDialog::fillLists()
{
    fill(m_ui->portCombo, kPortEntries);
    fill(m_ui->baudCombo, kBaudEntries);
    fill(m_ui->parityCombo, kParityEntries);
    fill(m_ui->wiringCombo, kWiringEntries);
    fill(m_ui->sampleModeCombo, kSampleModeEntries);
    fill(m_ui->dataTypeCombo, kDataTypeEntries);
}

void ConsoleDialog::showAbout()
{
    CAboutDlg about(this);
    about.exec();
}

QWidget* ConsoleDialog::widget(ControlId id, int row) const
{
    const Ui::ConsoleDialog& ui = *m_ui;
    switch (id) {
    case ControlId::Port:
        return ui.portCombo;
    case ControlId::Baud:
        return ui.baudCombo;
    case ControlId::DataType:
        return ui.dataTypeCombo;
    case ControlId::SlaveId:
        return ui.slaveIdEdit;
    case ControlId::StartRegister:
        return ui.startRegisterEdit;
    case ControlId::RegisterCount:
        return ui.registerCountEdit;
    case ControlId::RegisterLabel:
        return rowValid(row) ? m_labelEdits[static_cast<std::size_t>(row)] : nullptr;
    case ControlId::Protocol:
        return ui.protocolGroup;
    case ControlId::Parity:
        return ui.parityCombo;
    case ControlId::Address:
        return ui.addressEdit;
    case ControlId::TransactionTime:
        return ui.transactionTimeEdit;
    case ControlId::Wiring:
        return ui.wiringCombo;
    case ControlId::Timeout:
        return ui.timeoutEdit;
    case ControlId::SampleRate:
        return ui.sampleRateEdit;
    case ControlId::ErrorCount:
        return ui.errorCountEdit;
    case ControlId::TransactionCount:
        return ui.transactionCountEdit;
    case ControlId::SampleMode:
        return ui.sampleModeCombo;
    case ControlId::DisplayMode:
        return ui.displayModeGroup;
    case ControlId::Value:
        return rowValid(row) ? m_valueEdits[static_cast<std::size_t>(row)] : nullptr;
    case ControlId::MinTime:
        return ui.minTimeEdit;
    case ControlId::MaxTime:
        return ui.maxTimeEdit;
    case ControlId::StopButton:
        return ui.stopButton;
    case ControlId::ReadButton:
        return ui.readButton;
    case ControlId::WriteButton:
        return ui.writeButton;
    case ControlId::ExitButton:
        return ui.exitButton;
    }
    return nullptr;
}

QButtonGroup* ConsoleDialog::buttonGroup(ControlId id) const
{
    if (id == ControlId::Protocol) {
        return m_protocolButtons;
    }
    if (id == ControlId::DisplayMode) {
        return m_displayButtons;
    }
    return nullptr;
}

QAbstractButton* ConsoleDialog::radioButton(ControlId group, int row) const
{
    QButtonGroup* buttons = buttonGroup(group);
    return buttons != nullptr ? buttons->button(row) : nullptr;
}

void ConsoleDialog::setItemToolTip(ControlId id, int index, std::string_view text)
{
    if (auto* combo = qobject_cast<QComboBox*>(widget(id)); combo != nullptr) {
        combo->setItemData(index, toolTipText(text), Qt::ToolTipRole);
    }
}

void ConsoleDialog::setToolTipSources(std::function<std::string(int port)> port,
                                      std::function<std::string(int row)> label)
{
    m_portToolTip = std::move(port);
    m_labelToolTip = std::move(label);
}

bool ConsoleDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ToolTip) {
        return QDialog::eventFilter(watched, event);
    }
    // Set just before Qt shows the widget's tooltip, which it does once this returns.
    for (const auto& [widget, source] : m_toolTipSources) {
        if (watched == widget) {
            widget->setToolTip(plainToolTip(fromUtf8(source())));
        }
    }
    QComboBox* port = m_ui->portCombo;
    if (watched == port && m_portToolTip) {
        port->setToolTip(toolTipText(m_portToolTip(port->currentIndex())));
    } else if (watched == port->view()->viewport() && m_portToolTip) {
        const QModelIndex item = port->view()->indexAt(static_cast<QHelpEvent*>(event)->pos());
        if (item.isValid()) {
            setItemToolTip(ControlId::Port, item.row(), m_portToolTip(item.row()));
        }
    } else if (m_labelToolTip) {
        for (int row = 0; row < kValueRows; ++row) {
            if (watched == m_labelEdits[static_cast<std::size_t>(row)]) {
                m_labelEdits[static_cast<std::size_t>(row)]->setToolTip(
                    toolTipText(m_labelToolTip(row)));
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

template <typename Result, typename Work>
Result ConsoleDialog::onWindow(Result fallback, Work work) const
{
    if (onWindowThread()) {
        return work();
    }
    // Widgets live on the window's thread only; a caller elsewhere is carried over.
    Result result = fallback;
    const_cast<ConsoleDialog*>(this)->runOnWindowThread([&] { result = work(); });
    return result;
}

std::string ConsoleDialog::text(ControlId id, int row) const
{
    return onWindow(std::string(), [&]() -> std::string {
        QWidget* control = widget(id, row);
        if (auto* edit = qobject_cast<QLineEdit*>(control); edit != nullptr) {
            return toStdString(edit->text());
        }
        if (auto* combo = qobject_cast<QComboBox*>(control); combo != nullptr) {
            return toStdString(combo->currentText());
        }
        if (auto* button = qobject_cast<QAbstractButton*>(control); button != nullptr) {
            return toStdString(button->text());
        }
        if (auto* group = qobject_cast<QGroupBox*>(control); group != nullptr) {
            return toStdString(group->title());
        }
        return {};
    });
}

void ConsoleDialog::setText(ControlId id, std::string_view text, int row)
{
    onWindow(false, [&] {
        QWidget* control = widget(id, row);
        const QString shown = toQString(text);
        if (auto* edit = qobject_cast<QLineEdit*>(control); edit != nullptr) {
            // Writing the same text again would put the caret at the end while the operator types.
            if (edit->text() != shown) {
                edit->setText(shown);
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(control); button != nullptr) {
            button->setText(shown);
        } else if (auto* group = qobject_cast<QGroupBox*>(control); group != nullptr) {
            group->setTitle(shown);
        }
        return true;
    });
}

int ConsoleDialog::index(ControlId id) const
{
    return onWindow(-1, [&] {
        if (QButtonGroup* buttons = buttonGroup(id); buttons != nullptr) {
            return buttons->checkedId();
        }
        if (auto* combo = qobject_cast<QComboBox*>(widget(id)); combo != nullptr) {
            return combo->currentIndex();
        }
        return -1;
    });
}

void ConsoleDialog::setIndex(ControlId id, int index)
{
    onWindow(false, [&] {
        if (QButtonGroup* buttons = buttonGroup(id); buttons != nullptr) {
            if (QAbstractButton* button = buttons->button(index); button != nullptr) {
                button->setChecked(true);
            } else {
                // An exclusive group keeps one button checked; none is wanted here.
                buttons->setExclusive(false);
                for (QAbstractButton* each : buttons->buttons()) {
                    each->setChecked(false);
                }
                buttons->setExclusive(true);
            }
        } else if (auto* combo = qobject_cast<QComboBox*>(widget(id)); combo != nullptr) {
            // A selection made by a transfer is no operator's choice: no handler runs.
            const QSignalBlocker quiet(combo);
            combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
        }
        return true;
    });
}

void ConsoleDialog::setEnabled(ControlId id, bool enabled, int row)
{
    onWindow(false, [&] {
        QWidget* control = buttonGroup(id) != nullptr ? radioButton(id, row) : widget(id, row);
        if (control != nullptr) {
            control->setEnabled(enabled);
        }
        return true;
    });
}

bool ConsoleDialog::isEnabled(ControlId id, int row) const
{
    return onWindow(false, [&] {
        QWidget* control = buttonGroup(id) != nullptr ? radioButton(id, row) : widget(id, row);
        return control != nullptr && control->isEnabled();
    });
}

void ConsoleDialog::setFocus(ControlId id, int row)
{
    onWindow(false, [&] {
        QWidget* control = buttonGroup(id) != nullptr ? radioButton(id, row) : widget(id, row);
        if (control != nullptr) {
            control->setFocus(Qt::OtherFocusReason);
        }
        return true;
    });
}

void ConsoleDialog::messageBox(std::string_view text, MessageIcon icon)
{
    messageBoxWithDetail(text, icon, {});
}

void ConsoleDialog::messageBoxWithDetail(std::string_view text,
                                         MessageIcon icon,
                                         std::string_view detail)
{
    if (!onWindowThread()) {
        runOnWindowThread([&] { messageBoxWithDetail(text, icon, detail); });
        return;
    }
    // A box opened for a worker after the halt would hold nobody's attention; the window's own
    // boxes (those of the save at Exit) still show.
    if (halted() && m_callsRunning > 0) {
        return;
    }
    const std::unique_ptr<QMessageBox> box(
        newBox(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
               toQString(text),
               this));
    if (!detail.empty()) {
        box->setDetailedText(fromUtf8(detail));
    }
    // Kept where halt() can reach it: a halted console must not stay blocked behind a box.
    m_openBoxes.push_back(box.get());
    box->exec();
    std::erase(m_openBoxes, box.get());
}

void ConsoleDialog::showNotice(std::string_view text)
{
    notice(text, QMessageBox::Critical);
}

void ConsoleDialog::showInformation(std::string_view text)
{
    notice(text, QMessageBox::Information);
}

void ConsoleDialog::notice(std::string_view text, QMessageBox::Icon icon)
{
    if (halted()) {
        return;
    }
    // Copied: the caller does not wait, so its text may be gone when the box is made.
    QMetaObject::invokeMethod(
        this,
        [this, icon, shown = toQString(text)] {
            QMessageBox* box = newBox(icon, shown, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
        },
        onWindowThread() ? Qt::DirectConnection : Qt::QueuedConnection);
}

void ConsoleDialog::closeOpenBoxes()
{
    // Copied: closing a box lets its exec() return and take it off the list.
    const std::vector<QMessageBox*> boxes = m_openBoxes;
    for (QMessageBox* box : boxes) {
        box->done(QMessageBox::Ok);
    }
}

void ConsoleDialog::setBusyCursor(bool busy)
{
    onWindow(false, [&] {
        // Counted, so nested busy spans restore the cursor only at the outermost end.
        if (busy) {
            ++m_busyCursorDepth;
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else if (m_busyCursorDepth > 0) {
            --m_busyCursorDepth;
            QApplication::restoreOverrideCursor();
        }
        return true;
    });
}

void ConsoleDialog::startTimer(int id, int periodMs)
{
    onWindow(false, [&] {
        if (m_finished) {
            return true;
        }
        QTimer*& timer = m_timers[id];
        if (timer == nullptr) {
            timer = new QTimer(this);
            timer->setTimerType(Qt::PreciseTimer);
            connect(timer, &QTimer::timeout, this, [this, id] {
                if (m_timerHandler) {
                    m_timerHandler(id);
                }
            });
        }
        // A period of 0 would fire on every pass of the event loop and spin the CPU.
        timer->start(std::max(periodMs, 1));
        return true;
    });
}

void ConsoleDialog::killTimer(int id)
{
    onWindow(false, [&] {
        if (auto found = m_timers.find(id); found != m_timers.end()) {
            found->second->stop();
        }
        return true;
    });
}

bool ConsoleDialog::onWindowThread() const
{
    return QThread::currentThread() == thread();
}

bool ConsoleDialog::halted() const
{
    std::lock_guard lock(m_callMutex);
    return m_halted;
}

bool ConsoleDialog::runOnWindowThread(const std::function<void()>& fn)
{
    if (onWindowThread()) {
        fn();
        return true;
    }
    if (halted()) {
        return false;
    }
    // Posted rather than a blocking queued call, which could not be given up at halt. The state
    // tells the posted call whether its caller still waits for it.
    auto call = std::make_shared<PendingCall>();
    const std::function<void()>* target = &fn;
    QMetaObject::invokeMethod(
        this,
        [this, call, target] {
            {
                std::lock_guard lock(m_callMutex);
                if (call->state != CallState::Pending) {
                    return;
                }
                call->state = CallState::Running;
            }
            ++m_callsRunning;
            (*target)();
            --m_callsRunning;
            {
                std::lock_guard lock(m_callMutex);
                call->state = CallState::Done;
            }
            m_callChanged.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(m_callMutex);
    // A call already running is waited for: fn refers to the caller's frame.
    m_callChanged.wait(lock, [&] {
        return call->state == CallState::Done || (m_halted && call->state == CallState::Pending);
    });
    if (call->state == CallState::Done) {
        return true;
    }
    call->state = CallState::Cancelled;
    return false;
}

void ConsoleDialog::halt()
{
    {
        std::lock_guard lock(m_callMutex);
        m_halted = true;
    }
    m_callChanged.notify_all();
    if (onWindowThread()) {
        closeOpenBoxes();
    } else {
        QMetaObject::invokeMethod(
            this, [this] { closeOpenBoxes(); }, Qt::QueuedConnection);
    }
}

bool ConsoleDialog::waitWhileProcessingEvents(const std::function<bool()>& done, int timeoutMs)
{
    // Inside a worker's call (its box is up and the window is closed from it), the worker waits for
    // this very call to end: waiting here would only run out the time.
    if (m_callsRunning > 0) {
        return done();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void ConsoleDialog::closeWindow()
{
    // Like the end of a native dialog: the window goes once the running handler has returned,
    // so the console's clean-up never runs inside one of its own commands.
    QMetaObject::invokeMethod(
        this, [this] { reject(); }, Qt::QueuedConnection);
}

void ConsoleDialog::done(int result)
{
    // Hidden first, so no input reaches the console while its clean-up waits for a worker.
    QDialog::done(result);
    finish();
}

void ConsoleDialog::finish()
{
    if (m_finished) {
        return;
    }
    m_finished = true;
    // The schedule's timer ends with the window; no tick may start a worker during clean-up.
    for (auto& [id, timer] : m_timers) {
        timer->stop();
    }
    if (m_destroyHandler) {
        m_destroyHandler();
    }
}

bool ConsoleDialog::event(QEvent* event)
{
    if (event->type() != QEvent::UpdateRequest) {
        return QDialog::event(event);
    }
    // A scheduled transaction changes the controls in several calls, and a schedule may run
    // hundreds a second: each change is in the controls at once, and what they show is painted
    // once a frame, with the frame's last changes.
    const QScreen* shown = screen();
    const double hz = shown != nullptr && shown->refreshRate() > 1.0 ? shown->refreshRate() : 60.0;
    const auto frameMs = static_cast<qint64>(1000.0 / hz);
    const qint64 since = m_sincePaint.isValid() ? m_sincePaint.elapsed() : frameMs;
    if (since < frameMs) {
        if (!m_paintTimer->isActive()) {
            m_paintTimer->start(static_cast<int>(frameMs - since));
        }
        return true;
    }
    m_paintTimer->stop();
    m_sincePaint.start();
    return QDialog::event(event);
}

void ConsoleDialog::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton && m_viewLogHandler) {
        event->accept();
        m_viewLogHandler();
        return;
    }
    QDialog::mouseDoubleClickEvent(event);
}

} // namespace quarin::qt
