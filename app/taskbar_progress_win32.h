// The job's progress on the window's taskbar button, through the taskbar's
// ITaskbarList3, which came with Windows 7. Where the taskbar lacks it, or
// one of its calls fails, the button shows no progress and nothing else
// changes: the window's own bar still tells.
#pragma once

#include "app/progress_view.h"
#include "common/win32_support.h"

#include <windows.h>

#include <shobjidl.h>

namespace kestrane {

// This thread's place in a single-threaded COM apartment, left when it goes.
class ComApartment {
public:
    ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment();

    bool Joined() const { return joined_; }

private:
    bool joined_;
};

template <typename Interface> void ReleaseInterface(Interface* object)
{
    object->Release();
}
using UniqueTaskbarList = win32::UniqueHandle<ITaskbarList3*, ReleaseInterface<ITaskbarList3>>;

class TaskbarProgress {
public:
    // For the window's button. Created on the window's thread, which it
    // makes a COM apartment's for as long as it lasts.
    explicit TaskbarProgress(HWND window);
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // Whether message is the taskbar's word that the window's button exists
    // (again, after the taskbar restarted). Windows takes the button's
    // progress only from then on.
    bool IsButtonCreated(UINT message) const;
    // Then the button shows the last view.
    void ButtonCreated();

    // Shows view on the button, or keeps it for when the button exists.
    void Show(const ProgressView& view);

private:
    void Apply();

    HWND window_;
    UINT buttonCreated_;  // the taskbar's registered message; 0 when it could not be registered
    ProgressView view_;
    ComApartment apartment_;
    UniqueTaskbarList list_;  // released before the apartment is left
};

}  // namespace kestrane
