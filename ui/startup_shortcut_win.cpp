#include "ui/startup_shortcut.h"

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <memory>

namespace vindral {
namespace {

constexpr wchar_t kShortcutFile[] = L"\\Vindral.lnk";

struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComOwner = std::unique_ptr<T, ComRelease>;

struct TaskMemFree {
    void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

// COM for the shell link object, on the window's thread; balanced only when it succeeded.
class ComScope {
  public:
    ComScope() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope() {
        if (ok_) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    bool ok_;
};

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

ComOwner<IShellLinkW> makeShellLink() {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return nullptr;
    }
    return ComOwner<IShellLinkW>(link);
}

ComOwner<IPersistFile> persistFileOf(IShellLinkW* link) {
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        return nullptr;
    }
    return ComOwner<IPersistFile>(file);
}

}  // namespace

std::wstring startupShortcutPath() {
    wchar_t* folder = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Startup, KF_FLAG_CREATE, nullptr, &folder);
    const std::unique_ptr<wchar_t, TaskMemFree> owner(folder);
    if (FAILED(hr) || folder == nullptr) {
        return {};
    }
    return std::wstring(folder) + kShortcutFile;
}

bool startupShortcutPointsHere() {
    const std::wstring path = startupShortcutPath();
    if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const ComScope com;
    const ComOwner<IShellLinkW> link = makeShellLink();
    if (!link) {
        return false;
    }
    const ComOwner<IPersistFile> file = persistFileOf(link.get());
    if (!file || FAILED(file->Load(path.c_str(), STGM_READ))) {
        return false;
    }
    wchar_t target[MAX_PATH] = {};
    if (link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH) != S_OK) {
        return false;
    }
    const std::wstring self = modulePath();
    return !self.empty() && CompareStringOrdinal(target, -1, self.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool setStartupShortcut(bool on) {
    const std::wstring path = startupShortcutPath();
    if (path.empty()) {
        return false;
    }
    if (!on) {
        return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    const std::wstring self = modulePath();
    if (self.empty()) {
        return false;
    }
    const ComScope com;
    const ComOwner<IShellLinkW> link = makeShellLink();
    if (!link) {
        return false;
    }
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\'));
    link->SetPath(self.c_str());
    link->SetWorkingDirectory(folder.c_str());
    link->SetDescription(L"Vindral");
    const ComOwner<IPersistFile> file = persistFileOf(link.get());
    return file && SUCCEEDED(file->Save(path.c_str(), TRUE));
}

}  // namespace vindral
