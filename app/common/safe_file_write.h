// Replacing a file whole, for the files a run leaves behind (the results
// for other programs, the run state). A root job writes into folders that
// others may write too, and a reader may look at any moment, so:
//
// - the bytes go into a fresh name beside the file (opened with O_EXCL,
//   a random part, locked while its writer lives), are flushed to the disk
//   and only then renamed over the file, so a reader sees the old file or
//   the new one, never half of one;
// - a name that is not a regular file (a symbolic link, a device, a FIFO, a
//   socket, a folder) is refused, never written through or replaced;
// - a write that fails (a full disk, an I/O error, a short write, a failed
//   flush) removes the fresh file and leaves the old one as it was;
// - fresh names that a writer killed on the way left behind are removed by
//   the next write once no living writer holds them.
#pragma once

#include <QByteArray>
#include <QString>

// Replaces FileName with Bytes (or creates it); its folder must exist. An
// existing file's permission bits are kept. Empty when written, else why
// not ("it is a device, not a file", "writing failed: No space left on
// device; the file there before is kept", ...).
QString ReplaceFileSafely(const QString& FileName, const QByteArray& Bytes);
