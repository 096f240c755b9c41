#include "app/task/NTSynchronousTask.h"

#include "app/framework/exception.hpp"
#include "app/framework/runloop.hpp"

using bwv::platform::FileHandle;
using bwv::platform::Notification;
using bwv::platform::NotificationCenter;
using bwv::platform::Pipe;
using bwv::platform::PlatformException;
using bwv::platform::RunLoop;
using bwv::platform::RunLoopMode;
using bwv::platform::RunLoopModes;
using bwv::platform::Task;

NTSynchronousTask::NTSynchronousTask() {
    setTask(Task::create());
    setOutputPipe(Pipe::pipe());
    setInputPipe(Pipe::pipe());
    // Standard error stays the application's own: it is never part of the answer.
    mv_task->setStandardInput(mv_inputPipe);
    mv_task->setStandardOutput(mv_outputPipe);
}

NTSynchronousTask::~NTSynchronousTask() {
    NotificationCenter::defaultCenter().removeObserver(this);
    // Dropping the input pipe closes its writing end, so a tool still waiting for input
    // sees end of file.
    setTask(nullptr);
    setOutputPipe(nullptr);
    setInputPipe(nullptr);
    setOutput(std::nullopt);
}

void NTSynchronousTask::setTask(std::shared_ptr<Task> task) {
    if (task != mv_task) mv_task = std::move(task);
}

void NTSynchronousTask::setOutputPipe(std::shared_ptr<Pipe> pipe) {
    if (pipe != mv_outputPipe) mv_outputPipe = std::move(pipe);
}

void NTSynchronousTask::setInputPipe(std::shared_ptr<Pipe> pipe) {
    if (pipe != mv_inputPipe) mv_inputPipe = std::move(pipe);
}

void NTSynchronousTask::setOutput(std::optional<QByteArray> output) { mv_output = std::move(output); }

void NTSynchronousTask::run(const QString &path, const QString &directory, const QStringList &args,
                            const std::optional<QByteArray> &input, std::chrono::milliseconds deadline) {
    if (!directory.isNull()) mv_task->setCurrentDirectoryPath(directory);
    mv_task->setDeadline(deadline);
    mv_task->setLaunchPath(path);
    mv_task->setArguments(args);

    NotificationCenter &center = NotificationCenter::defaultCenter();
    const std::shared_ptr<FileHandle> &reader = mv_outputPipe->fileHandleForReading();
    center.addObserver(
        this, [this](const Notification &n) { taskOutputAvailable(n); },
        QString::fromLatin1(FileHandle::kReadToEndOfFileCompletionNotification), reader.get());
    center.addObserver(
        this, [this](const Notification &n) { taskDidTerminate(n); },
        QString::fromLatin1(Task::kDidTerminateNotification), mv_task.get());

    reader->readToEndOfFileInBackgroundAndNotify(RunLoopModes::all());

    try {
        mv_task->launch();
    } catch (const PlatformException &) {
        return;
    }

    if (input) {
        const std::shared_ptr<FileHandle> &writer = mv_inputPipe->fileHandleForWriting();
        try {
            writer->writeData(*input);
        } catch (const PlatformException &) {
            // The tool stopped reading (or never started); its exit status decides.
        }
        writer->closeFile();
    }

    // The end of the output and the report of the tool's end arrive in either order; a
    // tool may close its output early and still fail, so the status is only trusted once
    // its end has been reported.
    RunLoop &loop = RunLoop::current();
    while (!done() || !terminated()) {
        if (!loop.runModeBeforeDate(RunLoopMode::Default, 1.0)) break;
    }
}

void NTSynchronousTask::taskOutputAvailable(const Notification &note) {
    setOutput(note.userInfo.value(QString::fromLatin1(FileHandle::kNotificationDataItem)).toByteArray());
    setDone(true);
}

void NTSynchronousTask::taskDidTerminate(const Notification &) {
    try {
        setResult(mv_task->terminationStatus());
        mv_terminated = true;
    } catch (const PlatformException &) {
    }
}

std::optional<QByteArray> NTSynchronousTask::task(const QString &path, const QString &directory,
                                                  const QStringList &args, const std::optional<QByteArray> &input,
                                                  std::chrono::milliseconds deadline) {
    try {
        std::optional<QByteArray> kept;
        {
            NTSynchronousTask runner;
            runner.run(path, directory, args, input, deadline);
            if (runner.terminated() && runner.result() == 0 && runner.done()) kept = runner.output();
        }
        return kept;
    } catch (const PlatformException &) {
        return std::nullopt;
    }
}
