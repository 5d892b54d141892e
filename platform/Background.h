#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>
#include <utility>

// Runs work() on a thread of the pool and then done(result) on the
// application's main thread, unless context has been destroyed by then.
// Keeps long reads (a day's records) off the window's thread. The owner of
// what work() reads waits for the pool before it goes.
template <typename Work, typename Done>
void runInBackground(QThreadPool& pool, QObject* context, Work work, Done done)
{
    QPointer<QObject> guard(context);
    pool.start([guard, work = std::move(work), done = std::move(done)]() mutable {
        auto result = work();
        // Posted to the application object, which outlives every window; the
        // guard is looked at only there, on the main thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done = std::move(done), result = std::move(result)]() mutable {
                if (guard)
                    done(std::move(result));
            },
            Qt::QueuedConnection);
    });
}
