// A rapi.dll that offers only CeRapiInit, as an old, damaged or foreign
// library might: the loader must name CeRapiInitEx, the first function it
// lacks.
#include "device/rapi_api_win32.h"

extern "C" __declspec(dllexport) HRESULT WINAPI CeRapiInit()
{
    return E_FAIL;
}
