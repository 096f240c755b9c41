#include "app/framework/task.hpp"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/base/launch.hpp"
#include "app/framework/notification.hpp"
#include "app/framework/runloop_p.hpp"

namespace bwv::platform {

namespace {

[[noreturn]] void raiseOperation(const char *what, int err) {
    throw PlatformException("NSFileHandleOperationException", std::string(what) + ": " + std::strerror(err));
}

}  // namespace

std::shared_ptr<FileHandle> FileHandle::withDescriptor(int fd) {
    return std::shared_ptr<FileHandle>(new FileHandle(fd));
}

FileHandle::~FileHandle() { closeFile(); }

void FileHandle::closeFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void FileHandle::writeData(const QByteArray &data) {
    if (fd_ < 0) throw PlatformException("NSFileHandleOperationException", "file handle closed");
    if (!launch::write_all(fd_, data.constData(), static_cast<size_t>(data.size())))
        raiseOperation("write failed", errno);
}

QByteArray FileHandle::readDataToEndOfFile() {
    QByteArray out;
    if (fd_ < 0) return out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, n);
    }
    return out;
}

void FileHandle::readToEndOfFileInBackgroundAndNotify(RunLoopModes modes) {
    RunLoop &loop = RunLoop::current();
    loop.addSource();
    std::shared_ptr<FileHandle> self = shared_from_this();
    std::shared_ptr<RunLoop::Inbox> inbox = loop.inbox();
    std::thread([self, inbox, modes] {
        QByteArray data = self->readDataToEndOfFile();
        inbox->post(modes, [self, data] {
            RunLoop::current().removeSource();
            Notification n;
            n.name = QString::fromLatin1(kReadToEndOfFileCompletionNotification);
            n.object = self.get();
            n.userInfo.insert(QString::fromLatin1(kNotificationDataItem), data);
            NotificationCenter::defaultCenter().postNotification(n);
        });
    }).detach();
}

std::shared_ptr<Pipe> Pipe::pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw PlatformException("NSFileHandleOperationException",
                                std::string("cannot create a pipe: ") + std::strerror(errno));
    std::shared_ptr<Pipe> p(new Pipe());
    p->read_ = FileHandle::withDescriptor(fds[0]);
    p->write_ = FileHandle::withDescriptor(fds[1]);
    return p;
}

struct Task::State {
    pid_t pid = 0;
    Task *owner = nullptr;  // touched on the launching thread only
    bool terminated = false;
    int status = 0;
};

namespace {

// The program's own path first, as a process expects to find it in argv[0].
std::vector<QByteArray> argumentBytes(const QByteArray &path, const QStringList &arguments) {
    std::vector<QByteArray> argBytes;
    argBytes.push_back(path);
    for (const QString &a : arguments) argBytes.push_back(a.toUtf8());
    return argBytes;
}

// The exit code of a child that exited, the signal number of one that was killed, else -1.
int terminationStatusOf(int ws) {
    int status;
    if (ws == -1)
        status = -1;
    else if (WIFEXITED(ws))
        status = WEXITSTATUS(ws);
    else if (WIFSIGNALED(ws))
        status = WTERMSIG(ws);
    else
        status = -1;
    return status;
}

// Every child is reaped here, whether or not anyone still waits for it; its end is
// reported on the run loop of the thread that launched it.
void reapInBackground(pid_t pid, std::shared_ptr<Task::State> state, launch::milliseconds deadline) {
    RunLoop &loop = RunLoop::current();
    loop.addSource();
    std::shared_ptr<RunLoop::Inbox> inbox = loop.inbox();
    std::thread([pid, inbox, state, deadline] {
        const int status = terminationStatusOf(launch::wait(pid, deadline));
        inbox->post(RunLoopMode::Default, [state, status] {
            RunLoop::current().removeSource();
            state->terminated = true;
            state->status = status;
            if (Task *owner = state->owner) {
                Notification n;
                n.name = QString::fromLatin1(Task::kDidTerminateNotification);
                n.object = owner;
                NotificationCenter::defaultCenter().postNotification(n);
            }
        });
    }).detach();
}

}  // namespace

std::shared_ptr<Task> Task::create() { return std::shared_ptr<Task>(new Task()); }

std::shared_ptr<Task> Task::launchedTaskWithLaunchPath(const QString &path, const QStringList &arguments,
                                                       std::chrono::milliseconds deadline) {
    auto t = create();
    t->setLaunchPath(path);
    t->setArguments(arguments);
    t->setDeadline(deadline);
    t->launch();
    return t;
}

Task::~Task() {
    if (state_) state_->owner = nullptr;
}

void Task::launch() {
    if (state_) throw PlatformException("NSInvalidArgumentException", "task already launched");
    if (launchPath_.isEmpty()) throw PlatformException("NSInvalidArgumentException", "launch path not set");

    const QByteArray path = QFile::encodeName(launchPath_);
    std::vector<QByteArray> argBytes = argumentBytes(path, arguments_);
    std::vector<char *> argv;
    for (QByteArray &a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    launch::Command cmd;
    cmd.argv = argv.data();
    if (stdin_) cmd.stdio[0] = stdin_->fileHandleForReading()->fileDescriptor();
    if (stdout_) cmd.stdio[1] = stdout_->fileHandleForWriting()->fileDescriptor();
    if (stderr_) cmd.stdio[2] = stderr_->fileHandleForWriting()->fileDescriptor();
    QByteArray dir;
    if (!directory_.isNull()) {
        dir = QFile::encodeName(directory_);
        cmd.directory = dir.constData();
    }
    const launch::Child child = launch::spawn(cmd);
    if (child.error != 0) {
        if (child.pid > 0) launch::wait(child.pid);
        throw PlatformException("NSInvalidArgumentException",
                                "cannot launch " + path.toStdString() + ": " + std::strerror(child.error));
    }
    const pid_t pid = child.pid;

    // The child holds its ends now; the parent's copies would keep an output pipe from
    // ever reaching end of file.
    if (stdin_) stdin_->fileHandleForReading()->closeFile();
    if (stdout_) stdout_->fileHandleForWriting()->closeFile();
    if (stderr_) stderr_->fileHandleForWriting()->closeFile();

    pid_ = pid;
    state_ = std::make_shared<State>();
    state_->pid = pid;
    state_->owner = this;

    reapInBackground(pid, state_, deadline_);
}

bool Task::isRunning() const { return state_ && !state_->terminated; }

int Task::terminationStatus() const {
    if (!state_ || !state_->terminated) throw PlatformException("NSInvalidArgumentException", "task still running");
    return state_->status;
}

void Task::terminate() {
    if (isRunning()) ::kill(pid_, SIGTERM);
}

}  // namespace bwv::platform
