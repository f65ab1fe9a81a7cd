// The walker's loads of shared state. Each goes through the view's probe,
// so that a test can let the writers run between any two of them.
#ifndef KQSHMLOGWALKLOADS_H
#define KQSHMLOGWALKLOADS_H

#include "KQShmLogRing.h"

namespace kqwalk {

inline bool inRing(const KQRingView& view, int32_t iPos) {
    return iPos >= 0 && iPos < view.iRingSize;
}

inline int64_t loadStartTime(const KQRingView& view) {
    KQRingProbe(view);
    return __atomic_load_n(&view.pHead->starttime, __ATOMIC_RELAXED);
}

inline int32_t loadWrite(const KQRingView& view) {
    KQRingProbe(view);
    return KQRingLoadWritePos(view.pHead);
}

inline int32_t loadRead(const KQRingView& view) {
    KQRingProbe(view);
    return KQRingLoadReadPos(view.pHead);
}

}  // namespace kqwalk

#endif
