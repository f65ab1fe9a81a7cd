// The reader object behind IKQLOGReader. Private to the library and its
// tests: programs reach the one instance through IKQLOGReader::getInst().
#ifndef KQSHMLOGREADERIMP_H
#define KQSHMLOGREADERIMP_H

#include <map>
#include <string>
#include <vector>

#include "KQShmLogReader.h"
#include "KQShmLogRing.h"

class CKQLOGReaderImp : public IKQLOGReader {
public:
    static const int MAX_LOG_LENGTH = KQLOG_MAX_LOG_LENGTH;
    static const int LOG_NODE_HDR_SIZE = KQLOG_NODE_HDR_SIZE;
    static const int WRAP_THRESHOLD = KQLOG_WRAP_THRESHOLD;

    CKQLOGReaderImp() = default;
    // Detaches every segment this reader attached: what getLogTag handed
    // out is gone with it.
    ~CKQLOGReaderImp() override;

    bool init(const char* pShmLogPath, bool bVerbose) override;
    KQLogId findLogger(const char* pStrLogTag) override;
    bool enableLog(KQLogId id, bool bEnable) override;
    bool isLogEnable(KQLogId id) override;
    bool setDefaultLogLevel(ENUM_KQLOG_LEVEL eLevel) override;
    bool setLogLevel(KQLogId id, ENUM_KQLOG_LEVEL eLevel) override;
    ENUM_KQLOG_LEVEL getLogLevel(KQLogId id) override;
    int getShmLogBufSize() override;
    void seekLogEnd() override;
    void seekLogBegin(int iSkipCount) override;
    bool nextLog(std::string& strLogContent) override;
    const char* getLogTag(KQLogId nLogID) override;
    bool dumpLogMem(const char* pDumpMemFilePath) override;
    ENUM_KQLOG_READ_OUTCOME lastReadOutcome() override { return m_eLastOutcome; }
    bool reattachIfReplaced() override;
    bool initFromFile(const char* pImagePath, bool bVerbose) override;
    int getReadPos() override { return m_iReadPos; }
    bool isReadOnly() override { return m_pLogHead && m_bReadOnly; }

    bool attached() const { return m_pLogHead != nullptr; }
    // Attached to a shared segment (not plain memory or a file image).
    bool isSharedSegment() const { return m_iShmId != -1; }
    int shmId() const { return m_iShmId; }
    // The ring as attached, mapped in for a pass over it; what KQLogStream
    // reads.
    KQRingView ringViewForReading() {
        if (!m_bRingPrefaulted) prefaultRing();
        return view();
    }

    // The cursor, for tests and diagnostics.
    int readPos() const { return m_iReadPos; }
    // Tests: run pfn before each load of shared state (see KQRingView).
    void setLoadProbe(void (*pfn)(void*), void* pCtx) {
        m_pfnProbe = pfn;
        m_pProbeCtx = pCtx;
    }

    // Takes nBytes of plain memory as the segment, as init does an attached
    // one: the seam through which fuzzers and tests feed any bytes. False
    // when the header's sizes do not fit in nBytes or the magic is wrong.
    // bReadOnly: treat it as a read-only attachment (memory the caller may
    // have made read-only: nothing writes to it then).
    bool initFromMemory(void* pAddr, size_t nBytes, bool bReadOnly = false);

private:
    CKQLOGReaderImp(const CKQLOGReaderImp&) = delete;
    CKQLOGReaderImp& operator=(const CKQLOGReaderImp&) = delete;

    bool skipLog(int iCount);
    // Takes over a freshly attached segment once its magic number is right.
    bool adopt(const KQShmAttachment& att);
    // Entry id when attached and id is in use; null otherwise.
    KQLogInfo* entryInUse(KQLogId id);
    // entryInUse for a change: null on a read-only attachment too.
    KQLogInfo* entryToChange(KQLogId id) {
        return m_bReadOnly ? nullptr : entryInUse(id);
    }
    KQRingView view() const {
        return KQRingView{m_pLogHead, m_pLogBufRootAddr, m_iLogBufSize,
                          m_pfnProbe, m_pProbeCtx};
    }
    // Whether the node the last line came from no longer holds its header.
    bool lastLineRewritten() const;
    void reportInvalidNode(const KQNodeCopy& copy);
    void prefaultRing();

    std::map<std::string, KQLogId> m_mapTag2ID;
    // A segment image read from a file, kept for the process's life: the
    // addresses getLogTag hands out point into it.
    std::vector<uint8_t> m_image;
    std::vector<std::vector<uint8_t>> m_retiredImages;
    void* m_pShmRootAddr = nullptr;
    // Shared segments attached before the current one (a replaced log):
    // kept attached while the reader lives, as getLogTag promises.
    std::vector<void*> m_earlierAttachments;
    unsigned char* m_pLogBufRootAddr = nullptr;
    int m_iLogBufSize = 0;
    shmloghead* m_pLogHead = nullptr;
    int m_iReadPos = 0;
    // Where the last line came from, and its header; -1 after a seek.
    int m_iLastLinePos = -1;
    uint8_t m_lastLineHeader[KQLOG_NODE_HDR_SIZE] = {};
    void (*m_pfnProbe)(void*) = nullptr;
    void* m_pProbeCtx = nullptr;

    // Header plus ring as attached; what a dump writes.
    size_t m_nSegmentBytes = 0;
    std::string m_strLogPath;
    int m_iShmId = -1;
    // ftok of the log path when the segment was attached: a path deleted
    // and made again has another inode, so another key and segment.
    key_t m_key = -1;
    bool m_bToldRemoved = false;
    bool m_bToldPathGone = false;
    bool m_bRingPrefaulted = false;
    // The segment is mapped read-only: a store into it would kill the
    // process, so the operations that change the tag table refuse.
    bool m_bReadOnly = false;
    ENUM_KQLOG_READ_OUTCOME m_eLastOutcome = KQLOG_READ_DETACHED;
    KQTimeCache m_timeCache;
};

#endif
