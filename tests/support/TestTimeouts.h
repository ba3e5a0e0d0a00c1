#pragma once

#include <QtGlobal>

// Scales a wait by UPDATER_TEST_TIMEOUT_SCALE (a whole number, default 1), which
// the sanitizer runs set, so that a slow build gets the same margin as a fast one.
inline int scaledTimeout(int msecs)
{
    static const int scale = qMax(1, qEnvironmentVariableIntValue("UPDATER_TEST_TIMEOUT_SCALE"));
    return msecs * scale;
}
