// kqlogreader's cursor file (--cursor-file): where a run stopped reading,
// so that a shipper restarted with the same file goes on after the last
// record it handed on. One line of text:
//
//   kqcursor1 STARTTIME POS HEADER HASH\n
//
// STARTTIME is the log's start time and POS the record's ring offset, in
// decimal (STARTTIME may be negative, POS is 0 to 2147483647); HEADER is
// the record's 9 header bytes as 18 lowercase hexadecimal digits and HASH
// its text's FNV-1a 64 as 16. The version word comes first so that a later
// layout is told from a damaged file. Nothing else is accepted: the file
// is input like any other, and a malformed one costs a restart from the
// oldest record, never a wrong start.
#ifndef KQ_READER_CURSOR_FILE_H
#define KQ_READER_CURSOR_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "KQShmLogStream.h"

// Room for the longest line formatCursor writes (78 bytes).
const size_t KQ_CURSOR_LINE_SIZE = 96;

// Writes the line, line feed included, into out (KQ_CURSOR_LINE_SIZE
// bytes) and returns its length.
size_t formatCursor(const KQLogCursor& cursor, char* out);

// Whether the n bytes at p are exactly one line formatCursor writes; on
// success cursor holds it.
bool parseCursor(const char* p, size_t n, KQLogCursor& cursor);

enum class CursorRead {
    OK,          // cursor filled
    MISSING,     // no such file: a first run
    MALFORMED,   // not a cursor line (or not a regular file)
    UNREADABLE,  // open or read failed: *pErr
};

// Reads at most KQ_CURSOR_LINE_SIZE bytes of the file at path.
CursorRead readCursorFile(const std::string& path, KQLogCursor& cursor,
                          int* pErr);

// Replaces the file at path with the cursor's line: written to path.tmp,
// then renamed over path, so that the file holds the old line or the new
// one whatever happens meanwhile. False with *pErr when a step failed (the
// old file is then left as it was).
bool writeCursorFile(const std::string& path, const KQLogCursor& cursor,
                     int* pErr);

// The last record a run has read, kept for the cursor file until saved,
// and when a save is due. Its text is copied: the line buffer it came in
// is reused for the next record.
class CursorKeeper {
public:
    static const int64_t SAVE_INTERVAL_MS = 1000;

    void note(const KQLogRecord& rec);
    // A record noted since the last save.
    bool hasNew() const { return m_bNew; }
    // Whether to save at iNowMs (a monotonic clock): something new, and no
    // save in the last second.
    bool due(int64_t iNowMs) const {
        return m_bNew &&
               (!m_bSaved || iNowMs - m_iSavedMs >= SAVE_INTERVAL_MS);
    }
    // The cursor of the last record noted; counts as saved at iNowMs.
    KQLogCursor take(int64_t iNowMs);

private:
    KQLogRecord m_rec;
    char m_text[256];
    bool m_bNew = false;
    bool m_bSaved = false;
    int64_t m_iSavedMs = 0;
};

#endif
