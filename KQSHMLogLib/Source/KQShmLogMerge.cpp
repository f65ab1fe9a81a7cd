#include "KQShmLogMerge.h"

#include <new>

// Records delivered between two looks at every stream: a stream that
// answered END is asked again at the latest after this many records of the
// others, so that one busy log cannot starve a quiet one that wakes up.
// Each look at an idle stream costs little, but a follower's stream makes a
// system call on every few of them.
static const int RECORDS_PER_IDLE_LOOK = 64;

bool KQLogMerge::add(KQLogStream* pStream) {
    if (!pStream) return false;
    std::unique_ptr<Slot> slot(new (std::nothrow) Slot);
    if (!slot) return false;
    slot->pStream = pStream;
    m_slots.push_back(std::move(slot));
    return true;
}

int64_t KQLogMerge::timeOf(const KQLogRecord& rec) {
    const uint8_t* h = rec.header;
    uint32_t nDeltaSec = uint32_t(h[3]) | uint32_t(h[4]) << 8 |
                         uint32_t(h[5]) << 16 | uint32_t(h[6]) << 24;
    uint16_t nMillis = uint16_t(h[7] | h[8] << 8);
    int64_t iSecond, iMs;
    // The start time is the segment's to say: any value at all.
    if (__builtin_add_overflow(rec.iStartTime, int64_t(nDeltaSec), &iSecond) ||
        __builtin_mul_overflow(iSecond, int64_t(1000), &iMs) ||
        __builtin_add_overflow(iMs, int64_t(nMillis), &iMs))
        return rec.iStartTime < 0 ? INT64_MIN : INT64_MAX;
    return iMs;
}

ENUM_KQLOG_EVENT KQLogMerge::next(KQLogRecord& rec, size_t* pIndex) {
    // Every stream without a record in hand is asked for its next one;
    // anything but a record goes to the caller at once.
    for (size_t i = 0; i < m_slots.size(); ++i) {
        Slot& slot = *m_slots[i];
        if (slot.bHasRecord || slot.bIdle || slot.bDetached) continue;
        ENUM_KQLOG_EVENT eEvent = slot.pStream->next(slot.rec, slot.line);
        if (eEvent == KQLOG_EVENT_RECORD) {
            slot.bHasRecord = true;
            slot.iTime = timeOf(slot.rec);
            continue;
        }
        if (eEvent == KQLOG_EVENT_END) {
            slot.bIdle = true;
            continue;
        }
        if (eEvent == KQLOG_EVENT_DETACHED) slot.bDetached = true;
        rec = slot.rec;
        if (pIndex) *pIndex = i;
        return eEvent;
    }

    // The earliest record in hand; the first stream's on a tie.
    Slot* pFirst = nullptr;
    size_t iFirst = 0;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        Slot& slot = *m_slots[i];
        if (slot.bHasRecord && (!pFirst || slot.iTime < pFirst->iTime)) {
            pFirst = &slot;
            iFirst = i;
        }
    }
    if (!pFirst || ++m_iSinceIdleCleared >= RECORDS_PER_IDLE_LOOK) {
        m_iSinceIdleCleared = 0;
        for (auto& slot : m_slots) slot->bIdle = false;
    }
    if (!pFirst) return KQLOG_EVENT_END;
    pFirst->bHasRecord = false;
    rec = pFirst->rec;
    if (pIndex) *pIndex = iFirst;
    return KQLOG_EVENT_RECORD;
}
