// The handheld's file system, reached over the Windows CE Remote API.
//
// These are exactly the remote calls the program makes. The Windows build
// implements them over rapi.dll; tests use an in-memory handheld.
#pragma once

#include <cstdint>
#include <string>

namespace kestrane {

using DeviceHandle = std::intptr_t;

inline constexpr DeviceHandle kInvalidDeviceHandle = -1;

inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kFileShareRead = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
// What CeGetFileSize returns when it fails.
inline constexpr std::uint32_t kInvalidFileSize = 0xFFFFFFFF;

inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

class RemoteDevice {
public:
    virtual ~RemoteDevice() = default;

    // Returns 0 once a handheld is connected, or the failure's HRESULT.
    // This is where a run waits for the handheld to be docked. The window
    // keeps answering meanwhile; when the user closes it, the start is ended
    // and WindowClosed (common/job_window.h) thrown.
    virtual std::int32_t CeRapiInit() = 0;
    virtual std::int32_t CeRapiUninit() = 0;

    // kInvalidDeviceHandle when no such file exists; the search handle
    // otherwise. The find data is not offered: callers only test existence.
    virtual DeviceHandle CeFindFirstFile(const std::u16string& path) = 0;
    virtual bool CeFindClose(DeviceHandle search) = 0;

    // No security attributes and no template file are ever passed.
    virtual DeviceHandle CeCreateFile(const std::u16string& path, std::uint32_t access,
                                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                                      std::uint32_t flagsAndAttributes) = 0;
    // A successful read of 0 bytes is the end of the file.
    virtual bool CeReadFile(DeviceHandle file, void* buffer, std::uint32_t bytesToRead,
                            std::uint32_t& bytesRead) = 0;
    virtual bool CeWriteFile(DeviceHandle file, const void* buffer, std::uint32_t bytesToWrite,
                             std::uint32_t& bytesWritten) = 0;
    // The low 32 bits of an open file's size, the high ones in sizeHigh;
    // kInvalidFileSize on failure (or for a size with those low bits).
    virtual std::uint32_t CeGetFileSize(DeviceHandle file, std::uint32_t& sizeHigh) = 0;
    // The handheld's error code of the last failed remote call.
    virtual std::uint32_t CeGetLastError() = 0;
    // A failed HRESULT when the last remote call failed within the Remote
    // API itself, the link to the handheld; otherwise a success code, and
    // CeGetLastError says what failed on the handheld.
    virtual std::int32_t CeRapiGetError() = 0;
    virtual bool CeCloseHandle(DeviceHandle file) = 0;
    virtual bool CeDeleteFile(const std::u16string& path) = 0;
    // Renames a file; fails when a file of the new name exists.
    virtual bool CeMoveFile(const std::u16string& existingPath, const std::u16string& newPath) = 0;
};

}  // namespace kestrane
