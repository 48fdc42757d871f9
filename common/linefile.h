#pragma once

#include "common/lineentry.h"
#include "common/messagereader.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace torvane {

// MainConfig.dat: one record per line, six fields each followed by ";", records ended by CR LF,
// GBK text.
//
// The file is handled defensively, because the Server sends it to every Client that asks:
// - it is read and written only when its name is a regular file, never through a symbolic link
//   (a link in its place is refused, neither followed nor replaced);
// - a file over kMaxLineFileBytes is refused without being read into memory;
// - every write goes to a temporary file beside it ("MainConfig.dat.XXXXXX", mode 0644), is
//   synced and renamed into place, so the file is replaced whole or not at all.
// The bool functions below keep their old signatures; the LineFileStatus ones say why.

inline constexpr int kLineListSlots = 21; // the Client's list holds records 0..20
inline constexpr int kMaxLines = 20;      // both editors refuse more than this

QString LineFilePath(const QString& directory); // directory + "/MainConfig.dat"

// A Client drops an update larger than its reader's cap, and an update is the four GBK bytes of
// its word followed by the file: a larger file could never reach a Client whole.
inline constexpr qint64 kUpdateWordBytes = 4;
inline constexpr qint64 kMaxLineFileBytes = MessageReader::kClientCap - kUpdateWordBytes;

enum class LineFileStatus {
    Ok,          // read: the bytes are in hand; write: the file was replaced
    Missing,     // no file of that name
    Empty,       // a regular file of zero bytes (read only)
    Symlink,     // the name is a symbolic link: neither followed nor replaced
    NotRegular,  // a folder, socket, FIFO or device
    TooLarge,    // over kMaxLineFileBytes (a write of such a content is refused as well)
    Unreadable,  // exists but could not be opened or read (permissions, I/O error)
    WriteFailed, // the temporary file could not be created, written, synced or renamed
};

// Missing and Empty are an empty list; these four mean the file is there but must not be used,
// so a Server sends nothing rather than an empty list.
bool IsRefusal(LineFileStatus status);
// A short English reason for logs and messages, with the system error when there is one.
QString DescribeLineFileStatus(LineFileStatus status, int error = 0);

struct LineFileResult {
    LineFileStatus status = LineFileStatus::Ok;
    int error = 0; // errno of the failing step, 0 when none
    bool ok() const { return status == LineFileStatus::Ok; }
};

struct LineFileRead {
    LineFileStatus status = LineFileStatus::Missing;
    int error = 0;
    QByteArray bytes; // filled only for Ok
    bool refused() const { return IsRefusal(status); }
};
// The file's bytes, at most `cap` of them (a larger file is TooLarge and is not read).
LineFileRead ReadLineFile(const QString& path, qint64 cap = kMaxLineFileBytes);

// Removes temporary files that an interrupted write left beside the line file in `directory`
// (named "MainConfig.dat." and six letters or digits, regular files only). Files changed within
// the last `minAgeSecs` seconds are left alone: they may belong to a write that is running now.
// Returns how many were removed. Both programs call it once at start.
int RemoveStaleLineFileTemps(const QString& directory, int minAgeSecs = 60);

// Reading rule shared by both programs: split at CR LF, the piece after the last CR LF is not a
// record, each record split at ";" into the first six pieces (untrimmed, missing ones empty).
// Blank records are kept here as entries with every field empty; callers decide.
struct RawRecord {
    QStringList fields; // all pieces of the record, split at ";"
    bool blank = false; // the record was an empty line
};
QList<RawRecord> SplitLineRecords(const QString& text);

// Client loader: entries of the file in order, blank records skipped, at most `capacity`.
// A missing or refused file gives an empty list.
QList<LineEntry> LoadLineEntries(const QString& path, int capacity = kLineListSlots);

struct LoadedLines {
    LineFileStatus status = LineFileStatus::Missing; // Ok, Missing, Empty or a refusal
    int error = 0;
    QList<LineEntry> entries;
};
// LoadLineEntries and LoadServerLineTable with the reason of an empty list.
LoadedLines ReadLineEntries(const QString& path, int capacity = kLineListSlots);
LoadedLines ReadServerLineTable(const QString& path);

QString ComposeLine(const LineEntry& entry); // six fields each followed by ";", no CR LF
bool AppendLine(const QString& path, const QString& text);
bool RewriteLineFile(const QString& path, const QString& oldText, const QString& newText,
                     bool deleteMode);
// Replaces the file atomically with `text` ending in exactly one CR LF (an empty text gives a
// file of a single CR LF). Returns false when the file could not be replaced; the old file then
// stays whole.
bool WriteLineFile(const QString& path, const QString& text);
// A refused file holds no name (the editor's append would be refused as well).
bool LineNameExists(const QString& path, const QString& name);

// The writers above with the reason of a failure. Whatever fails, the old file stays whole and
// no temporary file is left. Appending and rewriting refuse a file they may not read.
LineFileResult SaveAppendedLine(const QString& path, const QString& text);
LineFileResult SaveRewrittenLines(const QString& path, const QString& oldText,
                                  const QString& newText, bool deleteMode);
LineFileResult SaveLineFile(const QString& path, const QString& text);

// The file has no quoting: ";" splits fields, CR LF ends records, and the Client's own writer
// uses "|" as a stand-in for CR LF. A name holding any of them would split or merge records.
bool NameBreaksRecord(const QString& name);
// A character without a GBK form would be stored as something else, so the record could never be
// matched again.
bool NameStorableInGbk(const QString& name);
// Both of the above: the name comes back from the file exactly as it went in.
inline bool NameSurvivesFile(const QString& name) {
    return !NameBreaksRecord(name) && NameStorableInGbk(name);
}

// Whole file as raw bytes; empty when missing and also when refused. ReadLineFile tells the two
// apart, which the Server's push needs.
QByteArray ReadFileBytes(const QString& path);

// Server side: every record is a row (blank ones too, with empty cells); fields 0, 3, 4, 5 used.
QList<LineEntry> LoadServerLineTable(const QString& path);
// Server record: name ";;;" gateway ";" primary ";" secondary ";" (local IP and mask empty).
QString ComposeServerLine(const LineEntry& entry);
// Writes the rows in order atomically, each with CR LF. An empty table leaves the file as it was
// (returns true without writing).
bool WriteServerLineFile(const QString& path, const QList<LineEntry>& rows);
LineFileResult SaveServerLineFile(const QString& path, const QList<LineEntry>& rows);

} // namespace torvane
