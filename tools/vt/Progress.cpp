#include "Progress.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define VT_ISATTY _isatty
#define VT_FILENO _fileno
#else
#include <unistd.h>
#define VT_ISATTY isatty
#define VT_FILENO fileno
#endif

namespace vt {

namespace {
constexpr qint64 kQuietMs = 700;
constexpr qint64 kRedrawMs = 150;
} // namespace

Progress::Progress(const QString& verb) : verb(verb), enabled(VT_ISATTY(VT_FILENO(stderr)) != 0)
{
    started.start();
}

Progress::~Progress()
{
    finish();
}

void Progress::update(qint64 done, qint64 total)
{
    if (!due())
        return;
    const qint64 mib = 1024 * 1024;
    // A pipe has no known size: show the amount alone.
    draw(total > 0 ? QStringLiteral("%1 %2% (%3 of %4 MiB)")
                         .arg(verb)
                         .arg(int(done * 100 / total), 3)
                         .arg(done / mib)
                         .arg(total / mib)
                   : QStringLiteral("%1 (%2 MiB)").arg(verb).arg(done / mib));
}

bool Progress::due() const
{
    return enabled && started.elapsed() >= kQuietMs && (!shown || lastDrawn.elapsed() >= kRedrawMs);
}

void Progress::draw(const QString& text)
{
    // Cursor back at the start of a cleared tail: a log line written meanwhile
    // overwrites the progress instead of running on after it.
    std::fprintf(stderr, "vt: %s\033[K\r", text.toLocal8Bit().constData());
    std::fflush(stderr);
    shown = true;
    lastDrawn.start();
}

void Progress::finish()
{
    if (!shown)
        return;
    std::fprintf(stderr, "\033[K");
    std::fflush(stderr);
    shown = false;
}

} // namespace vt
