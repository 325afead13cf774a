// The Windows CE Remote API functions the program calls, as rapi.dll exports
// them. Declared once here for both sides: the device layer looks them up at
// run time (it only takes their types from these declarations), and the
// stand-in library for tests defines them, so the two cannot drift apart.
#pragma once

#include <windows.h>

// What CeFindFirstFile fills in about a device file.
struct CE_FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};

// What CeRapiInitEx hands back: an event that is set once the connection is
// made or has failed, and then the result. Both belong to the library; the
// caller passes the structure's size in, and keeps the structure until the
// event is set or CeRapiUninit has given the start up.
struct RAPIINIT {
    DWORD cbSize;
    HANDLE heRapiInit;
    HRESULT hrRapiInit;
};

extern "C" {
HRESULT WINAPI CeRapiInit();
HRESULT WINAPI CeRapiInitEx(RAPIINIT* init);
HRESULT WINAPI CeRapiUninit();
HANDLE WINAPI CeFindFirstFile(LPCWSTR fileName, CE_FIND_DATA* findData);
BOOL WINAPI CeFindClose(HANDLE search);
HANDLE WINAPI CeCreateFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI CeReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                       LPOVERLAPPED overlapped);
BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                        LPOVERLAPPED overlapped);
DWORD WINAPI CeGetFileSize(HANDLE file, LPDWORD fileSizeHigh);
DWORD WINAPI CeGetLastError();
HRESULT WINAPI CeRapiGetError();
BOOL WINAPI CeCloseHandle(HANDLE object);
BOOL WINAPI CeDeleteFile(LPCWSTR fileName);
BOOL WINAPI CeMoveFile(LPCWSTR existingFileName, LPCWSTR newFileName);
}
