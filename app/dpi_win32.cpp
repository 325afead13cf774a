#include "app/dpi_win32.h"

#include "common/win32_support.h"

namespace kestrane::dpi {
namespace {

using win32::ThrowLastErrorIf;

// The per-monitor functions of user32, each null where Windows lacks it.
struct PerMonitorFunctions {
    decltype(&::GetDpiForWindow) getDpiForWindow = nullptr;
    decltype(&::SystemParametersInfoForDpi) systemParametersInfoForDpi = nullptr;
    decltype(&::AdjustWindowRectExForDpi) adjustWindowRectExForDpi = nullptr;
};

const PerMonitorFunctions& PerMonitor()
{
    static const PerMonitorFunctions functions = [] {
        PerMonitorFunctions found;
        // user32 is loaded for as long as the program runs: the program imports it.
        const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
        ThrowLastErrorIf(user32 == nullptr, "GetModuleHandleW(user32.dll)");
        found.getDpiForWindow = win32::FindFunction<decltype(&::GetDpiForWindow)>(user32, "GetDpiForWindow");
        found.systemParametersInfoForDpi = win32::FindFunction<decltype(&::SystemParametersInfoForDpi)>(
            user32, "SystemParametersInfoForDpi");
        found.adjustWindowRectExForDpi =
            win32::FindFunction<decltype(&::AdjustWindowRectExForDpi)>(user32, "AdjustWindowRectExForDpi");
        return found;
    }();
    return functions;
}

}  // namespace

UINT ForWindow(HWND window)
{
    if (const auto getDpiForWindow = PerMonitor().getDpiForWindow) {
        const UINT dpi = getDpiForWindow(window);
        ThrowLastErrorIf(dpi == 0, "GetDpiForWindow");
        return dpi;
    }
    const win32::UniqueScreenDC screen(::GetDC(nullptr));
    ThrowLastErrorIf(!screen, "GetDC");
    const int dpi = ::GetDeviceCaps(screen.Get(), LOGPIXELSY);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

NONCLIENTMETRICSW NonClientMetrics(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (const auto systemParametersInfoForDpi = PerMonitor().systemParametersInfoForDpi) {
        ThrowLastErrorIf(
            !systemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi),
            "SystemParametersInfoForDpi");
    } else {
        ThrowLastErrorIf(!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0),
                         "SystemParametersInfoW");
    }
    return metrics;
}

void AdjustFrame(RECT& frame, DWORD style, DWORD exStyle, UINT dpi)
{
    if (const auto adjustWindowRectExForDpi = PerMonitor().adjustWindowRectExForDpi) {
        ThrowLastErrorIf(!adjustWindowRectExForDpi(&frame, style, FALSE, exStyle, dpi),
                         "AdjustWindowRectExForDpi");
    } else {
        ThrowLastErrorIf(!::AdjustWindowRectEx(&frame, style, FALSE, exStyle), "AdjustWindowRectEx");
    }
}

}  // namespace kestrane::dpi
