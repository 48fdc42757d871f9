#pragma once

#include "common/lineentry.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace torvane {

// MainConfig.dat: one record per line, six fields each followed by ";", records ended by CR LF,
// GBK text. Every operation skips a failing file step silently and goes on with what it has.

inline constexpr int kLineListSlots = 21; // the Client's list holds records 0..20
inline constexpr int kMaxLines = 20;      // both editors refuse more than this

QString LineFilePath(const QString& directory); // directory + "/MainConfig.dat"

// Reading rule shared by both programs: split at CR LF, the piece after the last CR LF is not a
// record, each record split at ";" into the first six pieces (untrimmed, missing ones empty).
// Blank records are kept here as entries with every field empty; callers decide.
struct RawRecord {
    QStringList fields; // all pieces of the record, split at ";"
    bool blank = false; // the record was an empty line
};
QList<RawRecord> SplitLineRecords(const QString& text);

// Client loader: entries of the file in order, blank records skipped, at most `capacity`.
// A missing file gives an empty list.
QList<LineEntry> LoadLineEntries(const QString& path, int capacity = kLineListSlots);

QString ComposeLine(const LineEntry& entry); // six fields each followed by ";", no CR LF
bool AppendLine(const QString& path, const QString& text);
bool RewriteLineFile(const QString& path, const QString& oldText, const QString& newText,
                     bool deleteMode);
// Replaces the file atomically with `text` ending in exactly one CR LF (an empty text gives a
// file of a single CR LF). Returns false when the file could not be replaced; the old file then
// stays whole.
bool WriteLineFile(const QString& path, const QString& text);
bool LineNameExists(const QString& path, const QString& name);

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

// Whole file as raw bytes (empty when missing): what the Server pushes to its Clients.
QByteArray ReadFileBytes(const QString& path);

// Server side: every record is a row (blank ones too, with empty cells); fields 0, 3, 4, 5 used.
QList<LineEntry> LoadServerLineTable(const QString& path);
// Server record: name ";;;" gateway ";" primary ";" secondary ";" (local IP and mask empty).
QString ComposeServerLine(const LineEntry& entry);
// Writes the rows in order atomically, each with CR LF. An empty table leaves the file as it was
// (returns true without writing).
bool WriteServerLineFile(const QString& path, const QList<LineEntry>& rows);

} // namespace torvane
