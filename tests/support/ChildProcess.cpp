#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

bool ChildProcess::start(const QString& program, const QStringList& args, const QString& outputFile)
{
    stop();
    code = -1;
    std::vector<QByteArray> storage{program.toLocal8Bit()};
    for (const QString& arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const QByteArray output = outputFile.isEmpty() ? "/dev/null" : outputFile.toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.constData(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid = -1;
        error = QStringLiteral("cannot start %1: %2")
                    .arg(program, QString::fromLocal8Bit(strerror(rc)));
    }
    return rc == 0;
}

bool ChildProcess::waitForFinished(int msecs)
{
    return waitFor(msecs, false);
}

bool ChildProcess::waitForStopped(int msecs)
{
    return waitFor(msecs, true);
}

bool ChildProcess::waitFor(int msecs, bool untilStopped)
{
    const QDeadlineTimer deadline(msecs);
    while (pid > 0) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG | (untilStopped ? WUNTRACED : 0));
        if (untilStopped && r == pid && WIFSTOPPED(status))
            return true;
        if (r == pid || (r < 0 && errno != EINTR)) {
            pid = -1;
            code = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else if (deadline.hasExpired()) {
            return false;
        } else {
            QThread::msleep(5);
        }
    }
    return !untilStopped;
}

void ChildProcess::signal(int signal)
{
    if (pid > 0)
        kill(pid, signal);
}

void ChildProcess::stop(int msecs)
{
    if (pid > 0)
        kill(pid, SIGTERM);
    if (!waitForFinished(msecs)) {
        kill(pid, SIGKILL);
        waitForFinished(-1);
    }
}
