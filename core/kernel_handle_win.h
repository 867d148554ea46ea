// Owns a kernel object handle (a file, a mutex) and closes it on every path. CreateFileW reports
// failure with INVALID_HANDLE_VALUE and CreateMutexW with null; neither is closed.
#pragma once

#include <windows.h>

namespace vindral {

class KernelHandle {
  public:
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    ~KernelHandle() {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

}  // namespace vindral
