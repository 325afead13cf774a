#include "app/taskbar_progress_win32.h"

namespace kestrane {
namespace {

// How the button shows a mode: its state, and whether it shows the position.
struct ButtonLook {
    TBPFLAG state;
    bool position;
};

ButtonLook LookOf(ProgressMode mode)
{
    switch (mode) {
    case ProgressMode::Busy:
        return {TBPF_INDETERMINATE, false};
    case ProgressMode::Measured:
        return {TBPF_NORMAL, true};
    case ProgressMode::Finished:
        break;
    case ProgressMode::Warned:
        return {TBPF_PAUSED, true};
    case ProgressMode::Failed:
        return {TBPF_ERROR, true};
    }
    return {TBPF_NOPROGRESS, false};
}

// An elevated program hears from the taskbar, which runs unelevated, only
// when it lets the message through. The function came with Windows 7, as
// did the taskbar's progress, so it is looked up.
void LetThroughFromTheTaskbar(HWND window, UINT message)
{
    // user32 is loaded for as long as the program runs: the program imports it.
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    const auto change = user32 == nullptr ? nullptr
                                          : win32::FindFunction<decltype(&::ChangeWindowMessageFilterEx)>(
                                              user32, "ChangeWindowMessageFilterEx");
    if (change != nullptr) {
        // Should it fail, the button shows no progress, and nothing else is lost.
        static_cast<void>(change(window, message, MSGFLT_ALLOW, nullptr));
    }
}

}  // namespace

ComApartment::ComApartment() :
    joined_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
{
}

ComApartment::~ComApartment()
{
    if (joined_) {
        ::CoUninitialize();
    }
}

TaskbarProgress::TaskbarProgress(HWND window) :
    window_(window),
    buttonCreated_(::RegisterWindowMessageW(L"TaskbarButtonCreated"))
{
    if (buttonCreated_ != 0) {
        LetThroughFromTheTaskbar(window_, buttonCreated_);
    }
}

bool TaskbarProgress::IsButtonCreated(UINT message) const
{
    return buttonCreated_ != 0 && message == buttonCreated_;
}

void TaskbarProgress::ButtonCreated()
{
    if (!list_ && apartment_.Joined()) {
        ITaskbarList3* list = nullptr;
        if (FAILED(
                ::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&list)))) {
            return;  // no taskbar of Windows 7 or later
        }
        list_.Reset(list);
        if (FAILED(list_.Get()->HrInit())) {
            list_.Reset();
            return;
        }
    }
    Apply();
}

void TaskbarProgress::Show(const ProgressView& view)
{
    view_ = view;
    Apply();
}

void TaskbarProgress::Apply()
{
    if (!list_) {
        return;
    }
    const ButtonLook look = LookOf(view_.mode);
    HRESULT result = list_.Get()->SetProgressState(window_, look.state);
    if (SUCCEEDED(result) && look.position) {
        result = list_.Get()->SetProgressValue(window_, static_cast<ULONGLONG>(view_.position),
                                               static_cast<ULONGLONG>(kProgressRange));
    }
    if (FAILED(result)) {
        // The taskbar will not show it: the button is left alone until the
        // taskbar says again that it exists.
        list_.Reset();
    }
}

}  // namespace kestrane
