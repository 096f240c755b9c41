// Runs one tool to its end on the calling thread and hands back its standard output,
// while the calling thread's run loop keeps serving timers and notifications.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "app/framework/notification.hpp"
#include "app/framework/task.hpp"

class NTSynchronousTask {
public:
    // Runs `path` with `args` (without the tool's own name) in `directory` (null: the
    // application's working directory), writing `input` followed by end of file to its
    // standard input (nullopt: standard input stays open and empty until the run is
    // over, so a tool that reads it to the end must be given input).
    // Answers the tool's whole standard output when it exited with status 0 (empty data
    // for a silent tool), else nullopt: launch failure, non-zero status, death by signal,
    // or an output that never completed. Standard error is not redirected and never part
    // of the answer. Platform exceptions are caught; others pass on to the caller.
    // A tool still running at the deadline (zero: none) has its process group killed and
    // gives nullopt.
    static std::optional<QByteArray> task(const QString &path, const QString &directory, const QStringList &args,
                                          const std::optional<QByteArray> &input,
                                          std::chrono::milliseconds deadline = {});

    NTSynchronousTask();
    ~NTSynchronousTask();
    NTSynchronousTask(const NTSynchronousTask &) = delete;
    NTSynchronousTask &operator=(const NTSynchronousTask &) = delete;

    // The steps below are the runner's own; they are public for its tests.

    // Runs the tool and waits for both the end of its output and the report of its end;
    // leaves the findings in output(), done() and result().
    void run(const QString &path, const QString &directory, const QStringList &args,
             const std::optional<QByteArray> &input, std::chrono::milliseconds deadline = {});

    void taskOutputAvailable(const bwv::platform::Notification &note);
    void taskDidTerminate(const bwv::platform::Notification &note);

    const std::shared_ptr<bwv::platform::Task> &task() const { return mv_task; }
    void setTask(std::shared_ptr<bwv::platform::Task> task);
    const std::shared_ptr<bwv::platform::Pipe> &outputPipe() const { return mv_outputPipe; }
    void setOutputPipe(std::shared_ptr<bwv::platform::Pipe> pipe);
    const std::shared_ptr<bwv::platform::Pipe> &inputPipe() const { return mv_inputPipe; }
    void setInputPipe(std::shared_ptr<bwv::platform::Pipe> pipe);
    const std::optional<QByteArray> &output() const { return mv_output; }
    void setOutput(std::optional<QByteArray> output);
    bool done() const { return mv_done != 0; }
    void setDone(bool done) { mv_done = done ? 1 : 0; }
    int32_t result() const { return mv_result; }
    void setResult(int32_t result) { mv_result = result; }
    // True once the end of the tool has been reported; result() is its real status then.
    bool terminated() const { return mv_terminated; }

private:
    std::shared_ptr<bwv::platform::Task> mv_task;
    std::shared_ptr<bwv::platform::Pipe> mv_outputPipe;
    std::shared_ptr<bwv::platform::Pipe> mv_inputPipe;
    std::optional<QByteArray> mv_output;
    int8_t mv_done = 0;
    int32_t mv_result = 0;
    bool mv_terminated = false;
};
