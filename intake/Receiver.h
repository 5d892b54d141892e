#pragma once

#include "intake/ReceiverCore.h"
#include "intake/ReceiverHandle.h"
#include "platform/UdpSocket.h"

#include <QThread>
#include <exception>
#include <functional>
#include <optional>
#include <memory>
#include <type_traits>

// Runs the receiver on a thread of its own, so that nothing a window does
// holds up intake and nothing intake does holds up a window. The thread that
// made it makes requests with run(), which return once the receiver has
// carried them out. Its signals reach that thread queued.
//
// With Threading::CallerThread the receiver lives on the caller's thread
// instead and run() calls straight through (tests that step everything by hand).
class Receiver final : public ReceiverHandle {
public:
    enum class Threading { OwnThread, CallerThread };

    explicit Receiver(CoreServices services, Threading threading = Threading::OwnThread);
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // For connecting to its signals. Call its methods only through run().
    ReceiverCore* core() const { return core_; }

    // Runs request(core) on the receiver's thread and returns its result;
    // an exception it throws (DbError, or any std::exception) is thrown here.
    template <typename Request>
    auto run(Request&& request) -> std::invoke_result_t<Request, ReceiverCore&>
    {
        using Result = std::invoke_result_t<Request, ReceiverCore&>;
        if (!thread_ || QThread::currentThread() == thread_.get())
            return request(*core_);
        std::exception_ptr failure;
        if constexpr (std::is_void_v<Result>) {
            runBlocking([&] {
                try {
                    request(*core_);
                } catch (const std::exception&) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
        } else {
            std::optional<Result> result;
            runBlocking([&] {
                try {
                    result.emplace(request(*core_));
                } catch (const std::exception&) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
            return std::move(*result);
        }
    }

    // The receiver's listening port, each call carried out on its thread.
    ListeningPort& port() override { return port_; }
    void openDatabase() override;
    void startCounting() override;
    void setFilterEnabled(qint16 enabled) override;
    void setKeepDays(int days) override;
    void handOverDatabase() override;
    void takeBackDatabase() override;
    void shutdown() override;
    QString summaryLine() override;
    int receiveBufferBytes() override;

private:
    class Port final : public ListeningPort {
    public:
        explicit Port(Receiver& receiver) : receiver_(receiver) {}
        bool setLocalPort(int port) override;
        int localPort() const override;
        Result<> bind() override;
        void close() override;
        bool isBound() const override;

    private:
        Receiver& receiver_;
    };

    void runBlocking(const std::function<void()>& call);

    std::unique_ptr<QThread> thread_;
    ReceiverCore* core_ = nullptr;
    Port port_{*this};
};
