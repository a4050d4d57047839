#pragma once

#include <QSemaphore>
#include <QThreadPool>

#include <memory>

// Occupies every thread of the global pool until open() is called or the
// gate goes out of scope, so that background work queued meanwhile waits.
// The semaphore is shared with the blocked threads: they may still be
// leaving it after the gate is gone.
class PoolGate
{
public:
    PoolGate()
        : semaphore(std::make_shared<QSemaphore>())
        , threads(QThreadPool::globalInstance()->maxThreadCount())
    {
        for (int i = 0; i < threads; ++i)
            QThreadPool::globalInstance()->start([s = semaphore] { s->acquire(); });
    }
    ~PoolGate() { open(); }

    PoolGate(const PoolGate&) = delete;
    PoolGate& operator=(const PoolGate&) = delete;

    void open()
    {
        semaphore->release(threads);
        threads = 0;
    }

private:
    std::shared_ptr<QSemaphore> semaphore;
    int threads;
};
