#pragma once

#include "HTTPMessage.h"
#include "TestTimeouts.h"

#include <QtTest>

// True once every transfer worker has stopped and deleted itself, within msecs (scaled): after
// that none of them can report anything more. Polled in qWaitFor's 10 ms steps rather than
// QTRY's 50, which the transfer suite pays for every exchange.
inline bool workersGone(int msecs)
{
    return QTest::qWaitFor([] { return HTTPMessage::liveWorkerCount() == 0; },
                           scaledTimeout(msecs));
}
