#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include <QPoint>
#include <QString>
#include <QWidget>

class QFontMetrics;
class QLabel;
class QPainter;
class QTimer;

namespace quarin {
class RunRecord;
} // namespace quarin

namespace quarin::qt {

// Each transaction's time against the clock, failures in their own colour, and beside it the
// histogram of the times on the same scale.
class RunPlot : public QWidget
{
    Q_OBJECT

public:
    explicit RunPlot(const RunRecord& run, QWidget* parent = nullptr);

    // The failure drawn nearest to at (within a few pixels), named; empty: none there.
    QString failureAt(QPoint at) const;
    // Where entry i of the record is drawn, as of the last paint; (-1, -1) when it is not.
    QPoint pointOf(std::size_t i) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Marked
    {
        QPoint at;
        std::size_t entry;
    };

    // Where a paint puts things: a text line's height, the scale's width and the two areas.
    struct Frame
    {
        int line = 0;
        int left = 0;
        QRect plot;
        QRect histogram;
    };

    // The histogram's bars, answered and failed, on the plot's scale of times.
    static constexpr int kBins = 40;

    struct Bins
    {
        std::array<std::uint64_t, kBins> answered{};
        std::array<std::uint64_t, kBins> failed{};
    };

    // The steps of a paint, in order.
    Frame layOut(const QFontMetrics& metrics) const;
    void takeScale();
    void drawGrid(QPainter& painter, const Frame& frame) const;
    void drawScaleTexts(QPainter& painter, const Frame& frame) const;
    Bins placePoints(const QRect& plot);
    void drawPoints(QPainter& painter) const;
    void drawHistogram(QPainter& painter, const Frame& frame, const Bins& bins) const;

    int yOf(std::uint32_t ms, const QRect& plot) const;
    std::vector<std::uint32_t> scaleMarks() const;

    const RunRecord& m_run;
    // Filled by each paint, reused by the next.
    std::vector<Marked> m_failures;
    std::vector<std::uint8_t> m_taken;
    std::vector<QPoint> m_answered;
    std::vector<QPoint> m_failed;
    std::uint32_t m_scaleMs = 1;
    std::uint32_t m_firstMs = 0;
    std::uint32_t m_spanMs = 1;
};

// The timing window: non-modal, redrawn from the run record at most four times a second and only
// when the record has changed, so a fast schedule costs it little.
class TimingWindow : public QWidget
{
    Q_OBJECT

public:
    explicit TimingWindow(const RunRecord& run, QWidget* parent = nullptr);

    // Redraws now when the record has changed since the last time.
    void refresh();
    bool saveCsv(const QString& path) const;
    bool savePng(const QString& path);

    RunPlot* plot() const { return m_plot; }

    int redraws() const { return m_redraws; }

private:
    void chooseCsv();
    void choosePng();
    // Asks where, saves there, and says so when it could not.
    void saveChosen(const QString& caption,
                    const QString& fileName,
                    const QString& filter,
                    const std::function<bool(const QString&)>& save);

    const RunRecord& m_run;
    RunPlot* m_plot = nullptr;
    QLabel* m_summary = nullptr;
    QTimer* m_timer = nullptr;
    std::uint64_t m_shownVersion = ~std::uint64_t{0};
    std::vector<std::uint32_t> m_scratch;
    int m_redraws = 0;
};

} // namespace quarin::qt
