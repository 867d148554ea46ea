// Whether one of the window's modal dialogs (settings, price alerts) runs. The tray menu stays
// reachable meanwhile, so its setting commands must not run: the dialog's OK would apply its
// older copy of the settings over them. The window opens no second dialog meanwhile either.
#pragma once

namespace vindral {

class ModalDialogScope {
  public:
    ModalDialogScope() { ++depth_; }
    ~ModalDialogScope() { --depth_; }
    ModalDialogScope(const ModalDialogScope&) = delete;
    ModalDialogScope& operator=(const ModalDialogScope&) = delete;

    static bool active() { return depth_ > 0; }

  private:
    // The window's thread alone opens dialogs.
    static inline int depth_ = 0;
};

}  // namespace vindral
