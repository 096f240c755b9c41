#include "platform/qt/task.hpp"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/qt/notification.hpp"
#include "platform/qt/runloop_p.hpp"

extern char **environ;

namespace bwv::platform {

namespace {

[[noreturn]] void raiseOperation(const char *what, int err) {
    throw PlatformException("NSFileHandleOperationException",
                            std::string(what) + ": " + std::strerror(err));
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

    // A reader that has gone must give an error here, not a SIGPIPE that ends the
    // application: block the signal on this thread and swallow the one the write raises.
    sigset_t pipeSet, oldSet, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE);

    const char *p = data.constData();
    qsizetype left = data.size();
    int err = 0;
    while (left > 0) {
        ssize_t n = ::write(fd_, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        p += n;
        left -= n;
    }
    if (err == EPIPE && !wasPending) {
        struct timespec zero {};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    if (err != 0) raiseOperation("write failed", err);
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

std::shared_ptr<Task> Task::create() { return std::shared_ptr<Task>(new Task()); }

std::shared_ptr<Task> Task::launchedTaskWithLaunchPath(const QString &path,
                                                       const QStringList &arguments) {
    auto t = create();
    t->setLaunchPath(path);
    t->setArguments(arguments);
    t->launch();
    return t;
}

Task::~Task() {
    if (state_) state_->owner = nullptr;
}

void Task::launch() {
    if (state_) throw PlatformException("NSInvalidArgumentException", "task already launched");
    if (launchPath_.isEmpty())
        throw PlatformException("NSInvalidArgumentException", "launch path not set");

    const QByteArray path = QFile::encodeName(launchPath_);
    std::vector<QByteArray> argBytes;
    argBytes.push_back(path);
    for (const QString &a : arguments_) argBytes.push_back(a.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_) posix_spawn_file_actions_adddup2(&actions, stdin_->fileHandleForReading()->fileDescriptor(), 0);
    if (stdout_) posix_spawn_file_actions_adddup2(&actions, stdout_->fileHandleForWriting()->fileDescriptor(), 1);
    if (stderr_) posix_spawn_file_actions_adddup2(&actions, stderr_->fileHandleForWriting()->fileDescriptor(), 2);
    QByteArray dir;
    if (!directory_.isNull()) {
        dir = QFile::encodeName(directory_);
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    }

    // The child must not inherit the application's own choices (an ignored SIGTERM, a
    // blocked SIGPIPE).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, path.constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw PlatformException("NSInvalidArgumentException",
                                "cannot launch " + path.toStdString() + ": " + std::strerror(rc));

    // The child holds its ends now; the parent's copies would keep an output pipe from
    // ever reaching end of file.
    if (stdin_) stdin_->fileHandleForReading()->closeFile();
    if (stdout_) stdout_->fileHandleForWriting()->closeFile();
    if (stderr_) stderr_->fileHandleForWriting()->closeFile();

    pid_ = pid;
    state_ = std::make_shared<State>();
    state_->pid = pid;
    state_->owner = this;

    RunLoop &loop = RunLoop::current();
    loop.addSource();
    std::shared_ptr<RunLoop::Inbox> inbox = loop.inbox();
    std::shared_ptr<State> state = state_;
    // Every child is reaped here, whether or not anyone still waits for it.
    std::thread([pid, inbox, state] {
        int ws = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &ws, 0);
        } while (r < 0 && errno == EINTR);
        int status;
        if (r < 0)
            status = -1;
        else if (WIFEXITED(ws))
            status = WEXITSTATUS(ws);
        else if (WIFSIGNALED(ws))
            status = WTERMSIG(ws);
        else
            status = -1;
        inbox->post(RunLoopMode::Default, [state, status] {
            RunLoop::current().removeSource();
            state->terminated = true;
            state->status = status;
            if (Task *owner = state->owner) {
                Notification n;
                n.name = QString::fromLatin1(kDidTerminateNotification);
                n.object = owner;
                NotificationCenter::defaultCenter().postNotification(n);
            }
        });
    }).detach();
}

bool Task::isRunning() const { return state_ && !state_->terminated; }

int Task::terminationStatus() const {
    if (!state_ || !state_->terminated)
        throw PlatformException("NSInvalidArgumentException", "task still running");
    return state_->status;
}

void Task::terminate() {
    if (isRunning()) ::kill(pid_, SIGTERM);
}

}  // namespace bwv::platform
