#pragma once

#include <QString>
#include <QtGlobal>

// True when a lies within 1e-10 of b, bounds included.
bool nearlyEqual(double a, double b);

// Wall-clock seconds since 1970-01-01 UTC, truncated to 32 bits.
quint32 currentTimeSeconds();

// "m:ss remaining" (with hours in front from an hour on) for a download that has
// run elapsed whole seconds and reached fraction progress (0 < progress <= 1).
// Unsigned 32-bit arithmetic throughout, so an estimate below elapsed wraps as
// the dialog always did.
QString timeRemainingText(quint32 elapsed, float progress);

// The same text for a number of seconds left.
QString remainingText(quint32 remaining);
