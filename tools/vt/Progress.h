#pragma once

#include <QElapsedTimer>
#include <QString>

namespace vt {

// A one-line progress display on stderr, shown only when stderr is a terminal and
// the work has already taken a moment, so quick runs and pipes stay quiet.
class Progress
{
public:
    explicit Progress(const QString& verb);
    ~Progress();

    void update(qint64 done, qint64 total);
    // For lines of a caller's own: draw(text) shows "vt: text" when due() allows.
    bool due() const;
    void draw(const QString& text);
    // Clears the line; idempotent.
    void finish();

private:
    QString verb;
    bool enabled;
    bool shown = false;
    QElapsedTimer started;
    QElapsedTimer lastDrawn;
};

} // namespace vt
