#pragma once

#include <QString>

// Which platform's naming rules apply on top of the portable ones.
enum class PathRules
{
    Portable,
    Windows
};

// The rules of the system this binary was built for.
PathRules hostPathRules();

// True when an archive entry path stays inside the directory it is extracted to:
// not empty, relative (no leading "/" or "\", no drive or colon form in the first
// component) and without ".." components, splitting on both "/" and "\" since an
// archive made on one system may be extracted on another. Windows rules also
// refuse reserved device names, components ending in a dot or space, and any
// colon (alternate data streams). Control characters (0x01-0x1F, 0x7F) are refused
// everywhere.
bool isSafeEntryPath(const QString& path, PathRules rules);
