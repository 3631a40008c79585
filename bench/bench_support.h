#pragma once

// Small measuring tools shared by the benchmarks.

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace quillmere::bench {

// A "Vm..." figure of /proc/self/status in KiB (Linux; 0 elsewhere).
inline qint64 procStatusKiB(const QByteArray &key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// Peak resident set size of this process so far, in KiB.
inline qint64 peakRssKiB()
{
    return procStatusKiB("VmHWM");
}

inline qint64 currentRssKiB()
{
    return procStatusKiB("VmRSS");
}

// One row of the benchmark table that scripts/bench gathers into BENCHMARKS.md:
// a tab-separated line starting with "FIGURE".
inline void figure(const char *name, const char *target, const QString &measured,
                   const QString &peerRatio = QString())
{
    std::printf("FIGURE\t%s\t%s\t%s\t%s\n", name, target, measured.toUtf8().constData(),
                peerRatio.isEmpty() ? "" : peerRatio.toUtf8().constData());
    std::fflush(stdout);
}

// The median, min and max of a benchmark's rounds.
struct Spread {
    double median = 0, min = 0, max = 0;
};

inline Spread spread(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

inline QString ms(double value)
{
    return QString::number(value, 'f', 1) + QStringLiteral(" ms");
}

// Measures how long the UI event loop goes without serving a short timer: the gaps a
// user would feel as a frozen window.
class EventLoopGapMeter : public QObject {
public:
    explicit EventLoopGapMeter(int intervalMs = 10)
        : m_intervalMs(intervalMs) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(intervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_gapsMs.push_back(static_cast<double>(m_clock.nsecsElapsed()) / 1e6);
            m_clock.restart();
        });
    }
    void start() {
        m_gapsMs.clear();
        m_clock.start();
        m_timer.start();
    }
    void stop() {
        m_gapsMs.push_back(static_cast<double>(m_clock.nsecsElapsed()) / 1e6);
        m_timer.stop();
    }
    double longestMs() const {
        return m_gapsMs.empty() ? 0 : *std::max_element(m_gapsMs.begin(), m_gapsMs.end());
    }
    double percentileMs(double p) const {
        if (m_gapsMs.empty())
            return 0;
        std::vector<double> sorted = m_gapsMs;
        std::sort(sorted.begin(), sorted.end());
        const auto index = static_cast<std::size_t>(p / 100.0 * double(sorted.size() - 1));
        return sorted[index];
    }

private:
    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::vector<double> m_gapsMs;
};

} // namespace quillmere::bench
