#pragma once

#include <QString>

// text with its control characters (C0 including NUL, DEL and C1) written as
// tar -t shows them: "\n", "\t", "\033" and the like, so that no text can break
// a line or drive a terminal. With escapeBackslash a backslash becomes "\\" too,
// which makes a listing unambiguous; without it, escaping twice changes nothing.
QString escapeControlCharacters(const QString& text, bool escapeBackslash = false);
