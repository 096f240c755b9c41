// Loaded into the installer with LD_PRELOAD by the drills: every text the window's notice
// line is given is also appended, one per line, to the file named by BWV_DRILL_NOTICE_LOG.
// The installer itself runs unchanged; this only watches what a user would read.
#include <QByteArray>
#include <QLabel>
#include <QString>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using SetText = void (*)(QLabel *, const QString &);

SetText realSetText() {
    static SetText real = reinterpret_cast<SetText>(dlsym(RTLD_NEXT, "_ZN6QLabel7setTextERK7QString"));
    return real;
}

void record(const QString &text) {
    const char *path = std::getenv("BWV_DRILL_NOTICE_LOG");
    if (!path || !*path) return;
    // Line breaks inside a notice would split the record.
    QByteArray line = text.toUtf8().replace('\n', "\\n") + '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (qsizetype done = 0; done < line.size();) {
        ssize_t w = write(fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (w <= 0) break;
        done += w;
    }
    close(fd);
}

// Only the installer is watched, not the tools it runs.
__attribute__((constructor)) void forgetPreload() { unsetenv("LD_PRELOAD"); }

}  // namespace

void QLabel::setText(const QString &text) {
    if (SetText real = realSetText()) real(this, text);
    if (objectName() == QLatin1String("tfNotice")) record(text);
}
