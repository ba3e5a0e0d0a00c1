#pragma once

#include <QStringList>
#include <sys/types.h>

// A child process started with posix_spawn. QProcess starts children with a
// vfork-like clone that leaves the thread sanitizer's runtime believing the
// parent is a forked child, which silences every later report in the process;
// tests that run under it start their helpers and servers through this instead.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args; stdout and stderr go to outputFile (appended),
    // or to /dev/null when it is empty. False (with errorString()) on failure.
    bool start(const QString& program, const QStringList& args,
               const QString& outputFile = QString());
    // Waits up to msecs (-1: for ever) for the child to end; true if it has ended.
    bool waitForFinished(int msecs);
    // SIGTERM, then SIGKILL if it does not end within msecs; reaps the child.
    void stop(int msecs = 5000);
    // Waits up to msecs for the child to stop itself (SIGSTOP); true if it has.
    bool waitForStopped(int msecs);
    // Sends signal to the child, if it has not ended; waitForFinished() reaps it.
    void signal(int signal);

    bool isRunning() { return !waitForFinished(0); }
    int exitCode() const { return code; } // -1 unless it exited normally
    QString errorString() const { return error; }

private:
    // Polls until the child ends or, untilStopped, stops itself.
    bool waitFor(int msecs, bool untilStopped);

    pid_t pid = -1;
    int code = -1;
    QString error;
};
