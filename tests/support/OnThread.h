#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <optional>
#include <type_traits>

// Runs call on the thread of context (a receiver's core, say) and returns its
// result once it ran. For tests, which may wait; the program never does.
template <typename Call>
auto onThreadOf(QObject* context, Call call) -> decltype(call())
{
    using Result = decltype(call());
    const auto how = context->thread() == QThread::currentThread() ? Qt::DirectConnection
                                                                    : Qt::BlockingQueuedConnection;
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(context, call, how);
    } else {
        std::optional<Result> result;
        QMetaObject::invokeMethod(context, [&] { result.emplace(call()); }, how);
        return std::move(*result);
    }
}
