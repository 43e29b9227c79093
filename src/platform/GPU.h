// The GPU device and the camera view's render destination.
//
// GPUDevice is the handle of the system default GPU; absent when there is no
// usable GPU API. The renderer's own drawing interface lives beside it.
// Threads: main thread.
#pragma once

#include <memory>
#include <string>

namespace tevra {

class GPUDevice {
public:
    virtual ~GPUDevice() = default;
    virtual std::string name() const = 0;
};

}  // namespace tevra
