// Whether one of the program's modal dialogs (settings, price alerts) is open: the window opens
// no second one meanwhile. Touched on the UI thread only.
#pragma once

namespace vindral {

inline bool& modalDialogFlag() {
    static bool open = false;
    return open;
}

inline bool modalDialogOpen() {
    return modalDialogFlag();
}

// Marks a modal dialog as open for its lifetime.
class ModalDialogScope {
  public:
    ModalDialogScope() { modalDialogFlag() = true; }
    ~ModalDialogScope() { modalDialogFlag() = false; }
    ModalDialogScope(const ModalDialogScope&) = delete;
    ModalDialogScope& operator=(const ModalDialogScope&) = delete;
};

}  // namespace vindral
