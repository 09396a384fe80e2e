#pragma once

#include <cstdint>
#include <vector>

#include <QPoint>
#include <QString>
#include <QWidget>

class QLabel;
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

    const RunRecord& m_run;
    // Filled by each paint, reused by the next.
    std::vector<Marked> m_failures;
    std::vector<std::uint8_t> m_taken;
    std::vector<QPoint> m_answered;
    std::vector<QPoint> m_failed;
    QRect m_plotArea;
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

    const RunRecord& m_run;
    RunPlot* m_plot = nullptr;
    QLabel* m_summary = nullptr;
    QTimer* m_timer = nullptr;
    std::uint64_t m_shownVersion = ~std::uint64_t{0};
    std::vector<std::uint32_t> m_scratch;
    int m_redraws = 0;
};

} // namespace quarin::qt
