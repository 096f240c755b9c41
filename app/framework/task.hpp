// Child processes, pipes and file handles.
//
// A Task starts a tool with its own path, arguments, working directory and standard
// streams. Its end is reported on the run loop of the launching thread by posting
// Task::kDidTerminateNotification (object: the Task) on the default notification center.
// Every child is reaped by the platform, also when its Task is gone first.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <sys/types.h>

#include "app/framework/exception.hpp"
#include "app/framework/runloop.hpp"

namespace bwv::platform {

// One open descriptor. Owned: closed when the handle goes away unless closed before.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
public:
    static constexpr const char *kReadToEndOfFileCompletionNotification =
        "NSFileHandleReadToEndOfFileCompletionNotification";
    static constexpr const char *kNotificationDataItem = "NSFileHandleNotificationDataItem";

    static std::shared_ptr<FileHandle> withDescriptor(int fd);
    ~FileHandle();

    int fileDescriptor() const { return fd_; }

    // Writes every byte. Throws PlatformException ("NSFileHandleOperationException") when
    // the descriptor is closed or the write fails, e.g. because the reader has gone; a
    // gone reader never raises SIGPIPE in this process.
    void writeData(const QByteArray &data);

    // Reads on the calling thread until end of file.
    QByteArray readDataToEndOfFile();

    // Reads until end of file on a thread of its own, then posts
    // kReadToEndOfFileCompletionNotification (object: this handle, the bytes under
    // kNotificationDataItem) on the calling thread's run loop in one of `modes`. The
    // handle stays alive until the read is over; do not use it meanwhile.
    void readToEndOfFileInBackgroundAndNotify(RunLoopModes modes = RunLoopMode::Default);

    // Closes the descriptor; later calls do nothing.
    void closeFile();

private:
    explicit FileHandle(int fd) : fd_(fd) {}
    int fd_;
};

// An anonymous pipe; both ends close on exec, so no other child inherits them.
class Pipe {
public:
    // Throws PlatformException when the system has no descriptors left.
    static std::shared_ptr<Pipe> pipe();

    const std::shared_ptr<FileHandle> &fileHandleForReading() const { return read_; }
    const std::shared_ptr<FileHandle> &fileHandleForWriting() const { return write_; }

private:
    Pipe() = default;
    std::shared_ptr<FileHandle> read_, write_;
};

class Task : public std::enable_shared_from_this<Task> {
public:
    static constexpr const char *kDidTerminateNotification = "NSTaskDidTerminateNotification";

    static std::shared_ptr<Task> create();

    // Starts a tool with the application's standard streams and working directory and
    // returns at once; the child is reaped when it ends, or killed at the deadline (zero:
    // none). Throws like launch().
    static std::shared_ptr<Task> launchedTaskWithLaunchPath(const QString &path, const QStringList &arguments,
                                                            std::chrono::milliseconds deadline = {});

    ~Task();
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;

    void setLaunchPath(const QString &path) { launchPath_ = path; }
    void setArguments(const QStringList &arguments) { arguments_ = arguments; }  // without argv[0]
    void setCurrentDirectoryPath(const QString &path) { directory_ = path; }     // null: inherit

    // A pipe connects its far end to the child: the read end for standard input, the
    // write end for the outputs. After launch the parent's copies of those ends are
    // closed, so the reader of an output pipe sees end of file when the child is done.
    // No pipe given: the child shares the application's stream.
    void setStandardInput(std::shared_ptr<Pipe> pipe) { stdin_ = std::move(pipe); }
    void setStandardOutput(std::shared_ptr<Pipe> pipe) { stdout_ = std::move(pipe); }
    void setStandardError(std::shared_ptr<Pipe> pipe) { stderr_ = std::move(pipe); }
    const std::shared_ptr<Pipe> &standardInput() const { return stdin_; }
    const std::shared_ptr<Pipe> &standardOutput() const { return stdout_; }
    const std::shared_ptr<Pipe> &standardError() const { return stderr_; }

    // How long the child may run once launched; past it, its process group is killed
    // (SIGKILL) and its end reported as such. Zero, the default: no limit.
    void setDeadline(std::chrono::milliseconds deadline) { deadline_ = deadline; }

    // Starts the child. Throws PlatformException ("NSInvalidArgumentException") when it
    // cannot be started: missing or non-executable launch path, bad working directory,
    // already launched. After a failed launch nothing runs and no pipe end was closed.
    // The child starts in a process group of its own, with default signal dispositions, an
    // empty signal mask and no descriptor but 0 to 2, and is killed when the application
    // ends (launch it from the main thread, or a thread that outlives it).
    void launch();

    bool isRunning() const;
    pid_t processIdentifier() const { return pid_; }

    // The exit status, or the number of the signal that ended the child. Throws
    // PlatformException while the end has not been reported yet.
    int terminationStatus() const;

    // Sends SIGTERM to a running child.
    void terminate();

    struct State;  // shared with the thread that waits for the child

private:
    Task() = default;

    QString launchPath_;
    QStringList arguments_;
    QString directory_;
    std::shared_ptr<Pipe> stdin_, stdout_, stderr_;
    std::chrono::milliseconds deadline_{0};
    pid_t pid_ = 0;
    std::shared_ptr<State> state_;
};

}  // namespace bwv::platform
