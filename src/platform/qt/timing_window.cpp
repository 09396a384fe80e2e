#include "platform/qt/timing_window.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "console/run_record.h"
#include "platform/qt/plain_tooltip.h"

namespace quarin::qt {

namespace {

// Four redraws a second keep up with the eye; a 1 ms schedule would otherwise redraw 1000 times.
constexpr int kRedrawPeriodMs = 250;
constexpr int kHitRadius = 5;

const QColor kAnswered(31, 91, 181);
const QColor kFailed(214, 39, 40);
const QColor kGrid(225, 225, 225);

// The smallest power of ten at least value, and at least 10.
std::uint32_t decadeCeiling(std::uint32_t value)
{
    std::uint64_t decade = 10;
    while (decade < value) {
        decade *= 10;
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(decade, 1000000000u));
}

// Times on a logarithmic scale, 0 at the bottom: the usual millisecond and the rare second both
// stay in sight.
double heightOf(std::uint32_t ms, std::uint32_t scaleMs)
{
    return std::min(1.0,
                    std::log1p(static_cast<double>(ms)) / std::log1p(static_cast<double>(scaleMs)));
}

QString secondsText(std::uint32_t ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', ms < 10000 ? 1 : 0) +
           QStringLiteral(" s");
}

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

RunPlot::RunPlot(const RunRecord& run, QWidget* parent) : QWidget(parent), m_run(run)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(360, 220);
}

QSize RunPlot::sizeHint() const
{
    return {760, 360};
}

void RunPlot::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const Frame frame = layOut(QFontMetrics(font()));
    takeScale();
    drawGrid(painter, frame);
    drawScaleTexts(painter, frame);
    const Bins bins = placePoints(frame.plot);
    drawPoints(painter);
    drawHistogram(painter, frame, bins);
}

RunPlot::Frame RunPlot::layOut(const QFontMetrics& metrics) const
{
    Frame frame;
    frame.line = metrics.height();
    frame.left = metrics.horizontalAdvance(QStringLiteral("100000 ms")) + 10;
    const int top = frame.line + 10; // the strip above the plot holds the failures not timed
    const int bottom = 2 * frame.line + 8;
    const int histogramWidth = std::max(90, width() / 5);
    frame.plot = QRect(frame.left,
                       top,
                       std::max(10, width() - frame.left - histogramWidth - 24),
                       std::max(10, height() - top - bottom));
    frame.histogram = QRect(frame.plot.right() + 14, top, histogramWidth, frame.plot.height());
    return frame;
}

void RunPlot::takeScale()
{
    const std::size_t n = m_run.size();
    std::uint32_t largest = 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (const RunEntry& entry = m_run.entry(i); entry.timed) {
            largest = std::max(largest, entry.durationMs);
        }
    }
    m_scaleMs = decadeCeiling(largest);
    m_firstMs = n != 0 ? m_run.entry(0).atMs : 0;
    m_spanMs = std::max<std::uint32_t>(1000, n != 0 ? m_run.entry(n - 1).atMs - m_firstMs : 0);
}

int RunPlot::yOf(std::uint32_t ms, const QRect& plot) const
{
    return plot.bottom() - static_cast<int>(heightOf(ms, m_scaleMs) * (plot.height() - 1));
}

std::vector<std::uint32_t> RunPlot::scaleMarks() const
{
    // 0 and every power of ten up to the scale.
    std::vector<std::uint32_t> marks{0};
    for (std::uint64_t decade = 1; decade <= m_scaleMs; decade *= 10) {
        marks.push_back(static_cast<std::uint32_t>(decade));
    }
    return marks;
}

void RunPlot::drawGrid(QPainter& painter, const Frame& frame) const
{
    const QRect& plot = frame.plot;
    painter.setPen(kGrid);
    for (const std::uint32_t ms : scaleMarks()) {
        painter.drawLine(plot.left(), yOf(ms, plot), frame.histogram.right(), yOf(ms, plot));
    }
    for (int k = 0; k <= 4; ++k) {
        const int x = plot.left() + k * (plot.width() - 1) / 4;
        painter.drawLine(x, plot.top(), x, plot.bottom());
    }
    painter.setPen(Qt::black);
    painter.drawRect(plot.adjusted(0, 0, -1, -1));
}

void RunPlot::drawScaleTexts(QPainter& painter, const Frame& frame) const
{
    const QRect& plot = frame.plot;
    const int line = frame.line;
    for (const std::uint32_t ms : scaleMarks()) {
        painter.drawText(QRect(0, yOf(ms, plot) - line / 2, frame.left - 6, line),
                         Qt::AlignRight,
                         QString::number(ms) + QStringLiteral(" ms"));
    }
    for (int k = 0; k <= 4; ++k) {
        const int x = plot.left() + k * (plot.width() - 1) / 4;
        const std::uint32_t at =
            m_firstMs +
            static_cast<std::uint32_t>(std::uint64_t{m_spanMs} * static_cast<unsigned>(k) / 4);
        // The last one ends at the plot's edge, clear of the histogram's scale.
        const QRect box = k < 4 ? QRect(x - 50, plot.bottom() + 4, 100, line)
                                : QRect(x - 100, plot.bottom() + 4, 100, line);
        painter.drawText(box, k < 4 ? Qt::AlignHCenter : Qt::AlignRight, secondsText(at));
    }
    painter.drawText(QRect(plot.left(), plot.bottom() + 4 + line, plot.width(), line),
                     Qt::AlignHCenter,
                     QStringLiteral("time since Read"));
    painter.setPen(kFailed);
    painter.drawText(QRect(plot.left(), 2, plot.width(), line),
                     Qt::AlignLeft,
                     QStringLiteral("failed without a time"));
    painter.setPen(Qt::black);
    painter.drawText(QRect(plot.right() - 200, 2, 200, line),
                     Qt::AlignRight,
                     QStringLiteral("transaction time (logarithmic)"));
}

RunPlot::Bins RunPlot::placePoints(const QRect& plot)
{
    // One point per pixel is enough, so a full ring costs what the plot's area costs.
    const std::size_t w = static_cast<std::size_t>(plot.width());
    const std::size_t h = static_cast<std::size_t>(plot.height());
    m_taken.assign(w * (h + 1), 0);
    m_answered.clear();
    m_failed.clear();
    m_failures.clear();
    Bins bins;
    for (std::size_t i = 0; i < m_run.size(); ++i) {
        const RunEntry& entry = m_run.entry(i);
        const std::size_t column = std::size_t{entry.atMs - m_firstMs} * (w - 1) / m_spanMs;
        std::size_t row = h; // the strip above the plot
        if (entry.timed) {
            const double height = heightOf(entry.durationMs, m_scaleMs);
            row = static_cast<std::size_t>(height * static_cast<double>(h - 1));
            const std::size_t bin =
                std::min<std::size_t>(kBins - 1, static_cast<std::size_t>(height * kBins));
            (entry.verdict != 0 ? bins.failed : bins.answered)[bin] += 1;
        }
        const QPoint at(plot.left() + static_cast<int>(std::min(column, w - 1)),
                        row == h ? plot.top() - 5 : plot.bottom() - static_cast<int>(row));
        std::uint8_t& taken = m_taken[std::min(row, h) * w + std::min(column, w - 1)];
        const std::uint8_t mark = entry.verdict != 0 ? 2 : 1;
        if ((taken & mark) != 0) {
            continue; // the first failure at a pixel is the one named there
        }
        taken |= mark;
        if (mark == 2) {
            m_failed.push_back(at);
            m_failures.push_back({at, i});
        } else {
            m_answered.push_back(at);
        }
    }
    return bins;
}

void RunPlot::drawPoints(QPainter& painter) const
{
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(kAnswered, 2));
    painter.drawPoints(m_answered.data(), static_cast<int>(m_answered.size()));
    painter.setPen(QPen(kFailed, 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawPoints(m_failed.data(), static_cast<int>(m_failed.size()));
}

void RunPlot::drawHistogram(QPainter& painter, const Frame& frame, const Bins& bins) const
{
    // On the plot's scale of times.
    const QRect& plot = frame.plot;
    const QRect& histogram = frame.histogram;
    const int line = frame.line;
    std::uint64_t most = 1;
    for (int b = 0; b < kBins; ++b) {
        most = std::max(most,
                        bins.answered[static_cast<std::size_t>(b)] +
                            bins.failed[static_cast<std::size_t>(b)]);
    }
    painter.setPen(Qt::black);
    painter.drawLine(histogram.left(), histogram.top(), histogram.left(), histogram.bottom());
    for (int b = 0; b < kBins; ++b) {
        const int y0 = plot.bottom() - (b + 1) * (plot.height() - 1) / kBins;
        const int y1 = plot.bottom() - b * (plot.height() - 1) / kBins;
        const auto length = [&](std::uint64_t count) {
            return static_cast<int>(count * static_cast<std::uint64_t>(histogram.width()) / most);
        };
        const int answered = length(bins.answered[static_cast<std::size_t>(b)]);
        const int failed = length(bins.failed[static_cast<std::size_t>(b)]);
        const int barHeight = std::max(1, y1 - y0 - 1);
        painter.fillRect(histogram.left() + 1, y0 + 1, answered, barHeight, kAnswered);
        painter.fillRect(histogram.left() + 1 + answered, y0 + 1, failed, barHeight, kFailed);
    }
    painter.drawText(QRect(histogram.left(), plot.bottom() + 4, histogram.width(), line),
                     Qt::AlignLeft,
                     QStringLiteral("0"));
    painter.drawText(QRect(histogram.left(), plot.bottom() + 4, histogram.width(), line),
                     Qt::AlignRight,
                     QString::number(most));
    painter.drawText(QRect(histogram.left(), plot.bottom() + 4 + line, histogram.width(), line),
                     Qt::AlignHCenter,
                     QStringLiteral("count"));
    painter.drawText(QRect(histogram.left(), 2, histogram.width(), line),
                     Qt::AlignHCenter,
                     QStringLiteral("histogram"));
}

QString RunPlot::failureAt(QPoint at) const
{
    const Marked* nearest = nullptr;
    int best = kHitRadius * kHitRadius + 1;
    for (const Marked& failure : m_failures) {
        const QPoint d = failure.at - at;
        const int distance = d.x() * d.x() + d.y() * d.y();
        if (distance < best) {
            best = distance;
            nearest = &failure;
        }
    }
    if (nearest == nullptr || nearest->entry >= m_run.size()) {
        return {};
    }
    const RunEntry& entry = m_run.entry(nearest->entry);
    const std::uint64_t number = m_run.count() - m_run.size() + 1 + nearest->entry;
    QString text = QStringLiteral("Transaction %1 at %2 s")
                       .arg(number)
                       .arg(static_cast<double>(entry.atMs) / 1000.0, 0, 'f', 3);
    text += entry.timed ? QStringLiteral(", %1 ms").arg(entry.durationMs)
                        : QStringLiteral(", not timed");
    return text + QStringLiteral(":\n") + latin1(m_run.failureName(entry.verdict));
}

QPoint RunPlot::pointOf(std::size_t i) const
{
    for (const Marked& failure : m_failures) {
        if (failure.entry == i) {
            return failure.at;
        }
    }
    return {-1, -1};
}

bool RunPlot::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = failureAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), plainToolTip(text), this);
        }
        return true;
    }
    return QWidget::event(event);
}

TimingWindow::TimingWindow(const RunRecord& run, QWidget* parent)
    : QWidget(parent, Qt::Window), m_run(run)
{
    setWindowTitle(QStringLiteral("Quarin transaction times"));
    m_summary = new QLabel(this);
    m_summary->setTextFormat(Qt::PlainText);
    m_plot = new RunPlot(run, this);
    auto* csv = new QPushButton(QStringLiteral("Save CSV..."), this);
    auto* png = new QPushButton(QStringLiteral("Save PNG..."), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(csv, &QPushButton::clicked, this, &TimingWindow::chooseCsv);
    connect(png, &QPushButton::clicked, this, &TimingWindow::choosePng);
    connect(close, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(csv);
    buttons->addWidget(png);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_plot, 1);
    layout->addLayout(buttons);

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (isVisible()) {
            refresh();
        }
    });
    m_timer->start(kRedrawPeriodMs);
    refresh();
}

void TimingWindow::refresh()
{
    if (m_run.version() == m_shownVersion) {
        return;
    }
    m_shownVersion = m_run.version();
    m_summary->setText(latin1(RunSummaryText(Summarise(m_run, m_scratch))));
    m_plot->update();
    ++m_redraws;
}

bool TimingWindow::saveCsv(const QString& path) const
{
    QSaveFile file(path);
    const std::string text = RunCsv(m_run);
    return file.open(QIODevice::WriteOnly) &&
           file.write(text.data(), static_cast<qint64>(text.size())) ==
               static_cast<qint64>(text.size()) &&
           file.commit();
}

bool TimingWindow::savePng(const QString& path)
{
    refresh();
    return grab().save(path, "PNG");
}

void TimingWindow::chooseCsv()
{
    saveChosen(QStringLiteral("Save the run as CSV"),
               QStringLiteral("quarin-run.csv"),
               QStringLiteral("CSV (*.csv)"),
               [this](const QString& path) { return saveCsv(path); });
}

void TimingWindow::choosePng()
{
    saveChosen(QStringLiteral("Save the picture as PNG"),
               QStringLiteral("quarin-run.png"),
               QStringLiteral("PNG (*.png)"),
               [this](const QString& path) { return savePng(path); });
}

void TimingWindow::saveChosen(const QString& caption,
                              const QString& fileName,
                              const QString& filter,
                              const std::function<bool(const QString&)>& save)
{
    const QString path = QFileDialog::getSaveFileName(this, caption, fileName, filter);
    if (!path.isEmpty() && !save(path)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Could not write %1").arg(path));
    }
}

} // namespace quarin::qt
