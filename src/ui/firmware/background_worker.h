#pragma once

// A job on its own thread whose progress and completion are carried out on the
// thread of a context object (the window), as the designer's background
// workers do. IsBusy is true from the start until the completion runs.

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace orvex {

template <typename Result> class BackgroundWorker {
public:
    using ReportProgress = std::function<void(int percent, const std::string& text)>;
    using Work = std::function<Result(const ReportProgress& report)>;

    explicit BackgroundWorker(QObject* context) : context_(context) {}
    // Waits for a job still running; what it posts after that is dropped with
    // the context object.
    ~BackgroundWorker() {
        if (thread_.joinable())
            thread_.join();
    }
    BackgroundWorker(const BackgroundWorker&) = delete;
    BackgroundWorker& operator=(const BackgroundWorker&) = delete;

    // Called on the context's thread.
    std::function<void(int percent, const std::string& text)> ProgressChanged;
    // result is meaningful only when error is false (the job threw).
    std::function<void(Result result, bool error)> RunWorkerCompleted;

    bool IsBusy() const { return busy_; }

    // Waits for a running job without carrying out its completion (the
    // context is going away).
    void Abandon() {
        if (thread_.joinable())
            thread_.join();
    }

    // Starts the job; false (nothing started) while one is running.
    bool RunWorkerAsync(Work work) {
        if (busy_)
            return false;
        if (thread_.joinable())
            thread_.join();
        busy_ = true;
        thread_ = std::thread([this, work = std::move(work)] {
            const ReportProgress report = [this](int percent, const std::string& text) {
                QMetaObject::invokeMethod(
                    context_,
                    [this, percent, text] {
                        if (ProgressChanged)
                            ProgressChanged(percent, text);
                    },
                    Qt::QueuedConnection);
            };
            Result result{};
            bool error = false;
            try {
                result = work(report);
            } catch (...) {
                error = true;
            }
            QMetaObject::invokeMethod(
                context_, [this, result, error] { finish(result, error); }, Qt::QueuedConnection);
        });
        return true;
    }

private:
    void finish(Result result, bool error) {
        if (thread_.joinable())
            thread_.join();
        busy_ = false;
        if (RunWorkerCompleted)
            RunWorkerCompleted(result, error);
    }

    QObject* context_;
    std::thread thread_;
    bool busy_ = false; // touched on the context's thread only
};

} // namespace orvex
