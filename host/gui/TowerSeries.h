#pragma once

#include <QList>
#include <QPointF>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// What the chart of a tower draws: its last 24 hours before its newest row, the mean
// wind speed of every level and the hourly rainfall (x: milliseconds of local time).
struct TowerSeries {
    static constexpr int kLevels = 7;

    int32_t rtu = 0;  // 0: no tower chosen
    QString title;    // the chart's title
    // What stands instead of the axes when there are no rows; empty when there are.
    QString emptyText;
    // Where the rows came from, one line for the status bar; empty for no tower.
    QString description;
    QList<QPointF> speeds[kLevels];
    QList<QPointF> rain;
    qint64 from = -1, newest = -1;
    double speedTop = 0, rainTop = 0;
};

// Reads a tower's series: from the backend table through the data source, user and
// prefix of WPDB.ini in the host directory, and from the tower's station file where
// the backend lacks rows (it does not answer, or has not caught up). Read on any one
// thread at a time; RetryBackend on any thread.
class CTowerSeriesModel {
public:
    TowerSeries Read(int32_t rtu);
    // The backend answers again (the plug-in writes to it): the next Read tries it,
    // however recently a connect of its own failed, also one of a Read under way.
    void RetryBackend() { m_retryAsked = true; }

private:
    // After a failed connect the backend is left alone for a while, so that a server
    // that does not answer does not hold every read up (steady clock ticks).
    std::atomic<int64_t> m_backendRetry{0};
    std::atomic<bool> m_retryAsked{false};
};

// Reads series off the asking thread: the newest request only (one asked while another
// is read replaces those still waiting); `loaded` is called on the reading thread after
// each read. Without a thread of its own it reads in Load.
class CTowerSeriesLoader {
public:
    explicit CTowerSeriesLoader(std::function<void()> loaded);
    ~CTowerSeriesLoader();
    CTowerSeriesLoader(const CTowerSeriesLoader&) = delete;
    CTowerSeriesLoader& operator=(const CTowerSeriesLoader&) = delete;

    void Load(int32_t rtu);
    // Until the newest request has been read.
    void Wait();
    // The newest request's series once read, once; nothing while it is read, when a
    // newer one was asked, or when it was taken already.
    std::optional<TowerSeries> TakeNewest();
    void RetryBackend() { m_model.RetryBackend(); }

private:
    void ReadRequests();

    CTowerSeriesModel m_model;
    std::function<void()> m_loaded;
    std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_asked = 0;  // the newest request's number
    int32_t m_askedRtu = 0;
    uint64_t m_read = 0;  // the request m_result belongs to
    std::optional<TowerSeries> m_result;
    bool m_stop = false;
    std::thread m_thread;
};
