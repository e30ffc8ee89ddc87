// Turns SIGTERM and SIGINT into a Qt signal on the event loop's thread (a self-pipe watched by
// a QSocketNotifier), so that the exporter stops between two events, never inside one.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

class TSignalWatcher : public QObject {
    Q_OBJECT

public:
    // One watcher per process; it installs the handlers and restores the defaults when it goes.
    explicit TSignalWatcher(QObject* parent = nullptr);
    ~TSignalWatcher() override;

signals:
    void StopRequested(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> Notifier;
};
