#pragma once

#include "UpdateIndex.h"

#include <QByteArray>
#include <QString>
#include <map>
#include <sys/stat.h>
#include <vector>

class GameFolder;

// One file as the last update left it: its size and modification time then, and
// the chunks of the content it was given (offsets from the file's start).
struct InstalledFile
{
    qint64 size = 0;
    qint64 mtimeNs = 0;
    std::vector<IndexChunk> chunks;
};

// What the last applied update installed, kept in the game folder as
// ".update.installed". A file whose size and modification time still match its
// record is taken to hold the recorded chunks without being read, so an update
// reads only what changed since.
class InstalledState
{
public:
    // 2: chunks cut as UpdateIndex version 2 cuts them. A record of another
    // version is refused, so its files are read again.
    static constexpr quint32 formatVersion = 2;
    // Larger state files are refused rather than read into memory (a record costs
    // 36 bytes per chunk of about 64 KiB: this covers several terabytes of game).
    static constexpr qint64 kMaxFileSize = qint64(1) << 30;
    static QString fileName() { return QStringLiteral(".update.installed"); }

    // The archive whose content was installed.
    qint64 archiveSize = 0;
    QByteArray archiveDigest;
    // By path, as the index names it.
    std::map<QString, InstalledFile> files;

    // Records the file at path as installed with chunks: size and time are taken
    // from info (the installed file's stat).
    void record(const QString& path, const struct stat& info, std::vector<IndexChunk> chunks);

    QByteArray serialize() const;
    // Refuses anything malformed (why set); state is left empty then.
    static bool parse(const QByteArray& bytes, InstalledState& state, QString* why = nullptr);

    // Reads the folder's state file. A missing file gives an empty state and true;
    // an unreadable, foreign or damaged one false (why set) and an empty state,
    // which the caller may treat like no state at all.
    bool load(const GameFolder& folder, QString* why = nullptr);
    // Replaces the folder's state file atomically (temporary file, fsync, rename).
    bool save(const GameFolder& folder, QString* why = nullptr) const;

    // The record of the file at path when a file with the stat info still
    // matches it (regular, same size and modification time): its chunks are
    // known without reading it. Null otherwise.
    const InstalledFile* matching(const QString& path, const struct stat& info) const;
};

// The state after installing index: every file of it recorded with the stat
// of the regular file now at its path. A file not found so (missing, reached
// through a link, another size) is left out: the next update reads it.
void installedStateOf(const UpdateIndex& index, const GameFolder& folder, InstalledState& state);
