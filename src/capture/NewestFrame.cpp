#include "capture/NewestFrame.h"

namespace tevra {

void NewestFrame::store(const PixelBufferRef& frame) {
    if (!frame) return;
    MutexLock lock(mutex_);
    frame_ = frame;  // releases the previous one, retains this one
}

PixelBufferRef NewestFrame::retained() const {
    MutexLock lock(mutex_);
    return frame_;
}

}  // namespace tevra
