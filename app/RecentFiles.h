#pragma once

#include <QStringList>

// The pictures opened last, newest first, remembered between runs.
namespace RecentFiles {

constexpr int kMaxEntries = 10;

QStringList list();
// Puts `path` first, dropping an older entry for it and the oldest beyond the limit.
void add(const QString& path);
void remove(const QStringList& paths);

// The entries whose file is gone. Touches the disk: call it off the main thread.
QStringList missing(const QStringList& paths);

} // namespace RecentFiles
