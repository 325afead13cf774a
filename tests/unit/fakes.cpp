#include "fakes.h"

#include "ftp/ftp_time_limits.h"

#include <algorithm>
#include <cstring>

namespace kestrane::testing {

void CrashPlan::Step(const std::string& where)
{
    ++steps_;
    if (countdown_ < 0) {
        return;
    }
    if (countdown_-- == 0) {
        countdown_ = -1;  // the next run must not crash again
        throw SimulatedCrash{where};
    }
}

std::string PatternBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

// ---------------------------------------------------------------- files

namespace {

class MemoryInput final : public InputFile {
public:
    explicit MemoryInput(std::string data) : data_(std::move(data)) {}
    std::size_t Read(char* buffer, std::size_t size) override
    {
        const std::size_t n = std::min(size, data_.size() - position_);
        std::memcpy(buffer, data_.data() + position_, n);
        position_ += n;
        return n;
    }

private:
    std::string data_;
    std::size_t position_ = 0;
};

class MemoryOutput final : public OutputFile {
public:
    MemoryOutput(MemoryFiles& files, std::string name) : files_(files), name_(std::move(name)) {}

    void Write(std::string_view bytes) override
    {
        files_.Step("write " + name_);
        if (files_.readOnly.count(name_) != 0) {
            throw FileError(name_, "Access is denied");
        }
        std::string& data = files_.contents.at(name_);
        files_.Written(name_);
        auto limit = files_.diskFullAt.find(name_);
        if (limit != files_.diskFullAt.end() && data.size() + bytes.size() > limit->second) {
            data.append(bytes.substr(0, limit->second - std::min(limit->second, data.size())));
            throw FileError(name_, "There is not enough space on the disk");
        }
        // Half of the write lands before a crash in the middle of it.
        const std::size_t half = bytes.size() / 2;
        data.append(bytes.substr(0, half));
        files_.Step("write (second half) " + name_);
        data.append(bytes.substr(half));
    }

    void Commit() override
    {
        files_.Step("commit " + name_);
        files_.Committed(name_);
    }

private:
    MemoryFiles& files_;
    std::string name_;
};

}  // namespace

bool MemoryFiles::Exists(const std::string& name)
{
    return contents.count(name) != 0;
}

std::uint64_t MemoryFiles::Size(const std::string& name)
{
    auto found = contents.find(name);
    if (found == contents.end()) {
        throw FileError(name, "The system cannot find the file specified", true);
    }
    return found->second.size();
}

std::unique_ptr<InputFile> MemoryFiles::OpenForReading(const std::string& name)
{
    Step("open " + name);
    reads.push_back(name);
    auto found = contents.find(name);
    if (found == contents.end()) {
        throw FileError(name, "The system cannot find the file specified", true);
    }
    FailIfHeld(name);
    if (unreadable.count(name) != 0) {
        throw FileError(name, "Access is denied");
    }
    return std::make_unique<MemoryInput>(found->second);
}

std::unique_ptr<OutputFile> MemoryFiles::CreateForWriting(const std::string& name)
{
    Step("create " + name);
    if (readOnly.count(name) != 0) {
        throw FileError(name, "Access is denied");
    }
    FailIfHeld(name);
    if (contents.count(name) == 0) {
        unnamed_.insert(name);
    }
    contents[name].clear();
    Written(name);
    return std::make_unique<MemoryOutput>(*this, name);
}

void MemoryFiles::Append(const std::string& name, std::string_view bytes)
{
    if (readOnly.count(name) != 0) {
        throw FileError(name, "Access is denied");
    }
    contents[name].append(bytes);
}

void MemoryFiles::Rename(const std::string& from, const std::string& to, bool replaceExisting)
{
    Step("rename " + from + " " + to);
    auto source = contents.find(from);
    if (source == contents.end()) {
        throw FileError(from, "The system cannot find the file specified", true);
    }
    if (!replaceExisting && contents.count(to) != 0) {
        throw FileError(to, "Cannot create a file when that file already exists");
    }
    FailIfHeld(from);
    FailIfHeld(to);
    std::string data = std::move(source->second);
    contents.erase(source);
    contents[to] = std::move(data);
    // A file's unwritten bytes go with it under its new name, which is on
    // the disk from now on.
    unnamed_.erase(from);
    unnamed_.erase(to);
    const bool uncommitted = uncommitted_.erase(from) != 0;
    uncommitted_.erase(to);
    if (uncommitted) {
        uncommitted_.insert(to);
    }
}

void MemoryFiles::Remove(const std::string& name)
{
    Step("remove " + name);
    if (removeFails.count(name) != 0 && contents.count(name) != 0) {
        throw FileError(name, "Access is denied");
    }
    FailIfHeld(name);
    contents.erase(name);
    uncommitted_.erase(name);
    unnamed_.erase(name);
}

void MemoryFiles::FailIfHeld(const std::string& name) const
{
    if (heldByAnotherProgram.count(name) != 0 && contents.count(name) != 0) {
        throw FileError(name,
                        "The process cannot access the file because it is being used by another process");
    }
}

void MemoryFiles::PowerCut()
{
    for (const std::string& name : uncommitted_) {
        if (unnamed_.count(name) != 0) {
            contents.erase(name);
        } else {
            contents.at(name).clear();
        }
    }
    uncommitted_.clear();
    unnamed_.clear();
}

std::vector<std::string> MemoryFiles::ListWithSuffix(const std::string& suffix)
{
    std::vector<std::string> names;
    for (const auto& [name, data] : contents) {
        if (name.size() > suffix.size() && name.ends_with(suffix) && name.find('\\') == std::string::npos) {
            names.push_back(name);
        }
    }
    // A real folder lists in no particular order; make sure callers sort.
    std::reverse(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------- handheld

bool FakeDevice::Enter(const std::string& name)
{
    journal.push_back(name);
    // Releasing calls run from destructors, where a crash cannot be thrown;
    // a crash there is the same as one at the next call anyway.
    const bool releasing = name == "CeRapiUninit" || name == "CeCloseHandle" || name == "CeFindClose";
    if (plan_ != nullptr && !releasing) {
        plan_->Step("device " + name);
    }
    if (name == undockAt || journal.size() == undockAtCall) {
        undocked_ = true;
        connected = false;
        open_.clear();
    }
    linkError_ = undocked_ ? kLinkBroken : 0;
    return !undocked_;
}

bool FakeDevice::Fail(std::uint32_t code)
{
    lastError_ = code;
    return false;
}

int FakeDevice::Calls(const std::string& name) const
{
    return static_cast<int>(std::count(journal.begin(), journal.end(), name));
}

std::int32_t FakeDevice::CeRapiInit()
{
    if (!Enter("CeRapiInit")) {
        return kLinkBroken;
    }
    if (closeWhileWaiting) {
        // As the real layer does: the start is ended before the wait gives up.
        CeRapiUninit();
        throw WindowClosed();
    }
    const std::int32_t status = Calls("CeRapiInit") >= initFailsFrom ? initStatus : 0;
    connected = status == 0;
    return status;
}

std::int32_t FakeDevice::CeRapiUninit()
{
    if (!Enter("CeRapiUninit")) {
        return kLinkBroken;
    }
    connected = false;
    return 0;
}

DeviceHandle FakeDevice::CeFindFirstFile(const std::u16string& path)
{
    if (!Enter("CeFindFirstFile")) {
        return kInvalidDeviceHandle;
    }
    if (!connected || files.count(path) == 0) {
        lastError_ = kErrorFileNotFound;
        return kInvalidDeviceHandle;
    }
    const DeviceHandle handle = nextHandle_++;
    open_[handle] = {path, 0, false};
    return handle;
}

bool FakeDevice::CeFindClose(DeviceHandle search)
{
    return Enter("CeFindClose") && open_.erase(search) == 1;
}

DeviceHandle FakeDevice::CeCreateFile(const std::u16string& path, std::uint32_t access,
                                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                                      std::uint32_t flagsAndAttributes)
{
    if (!Enter(access == kGenericWrite ? "CeCreateFile(write)" : "CeCreateFile(read)")) {
        return kInvalidDeviceHandle;
    }
    if (shareMode != kFileShareRead || flagsAndAttributes != kFileAttributeNormal) {
        lastError_ = 87;  // ERROR_INVALID_PARAMETER
        return kInvalidDeviceHandle;
    }
    if (!connected) {
        lastError_ = 1167;  // ERROR_DEVICE_NOT_CONNECTED
        return kInvalidDeviceHandle;
    }
    if (access == kGenericWrite && creationDisposition == kCreateAlways) {
        if (failCreateForWrite) {
            lastError_ = 5;
            return kInvalidDeviceHandle;
        }
        files[path].clear();
    } else if (access == kGenericRead && openForReadFailCode != 0) {
        lastError_ = openForReadFailCode;
        return kInvalidDeviceHandle;
    } else if (access != kGenericRead || creationDisposition != kOpenExisting || files.count(path) == 0) {
        lastError_ = kErrorFileNotFound;
        return kInvalidDeviceHandle;
    }
    const DeviceHandle handle = nextHandle_++;
    open_[handle] = {path, 0, access == kGenericWrite};
    return handle;
}

bool FakeDevice::CeReadFile(DeviceHandle file, void* buffer, std::uint32_t bytesToRead,
                            std::uint32_t& bytesRead)
{
    bytesRead = 0;
    if (!Enter("CeReadFile")) {
        return false;
    }
    auto found = open_.find(file);
    if (found == open_.end() || found->second.writing) {
        return Fail(6);  // ERROR_INVALID_HANDLE
    }
    if (++reads_ == readFailAt) {
        return Fail(readFailCode);
    }
    const std::string& data = files.at(found->second.path);
    const std::size_t n = std::min<std::size_t>(bytesToRead, data.size() - found->second.position);
    std::memcpy(buffer, data.data() + found->second.position, n);
    found->second.position += n;
    bytesRead = static_cast<std::uint32_t>(n);
    return true;
}

std::uint32_t FakeDevice::CeGetFileSize(DeviceHandle file, std::uint32_t& sizeHigh)
{
    sizeHigh = 0;
    if (!Enter("CeGetFileSize")) {
        return kInvalidFileSize;
    }
    auto found = open_.find(file);
    if (found == open_.end() || sizeUnknown) {
        Fail(6);  // ERROR_INVALID_HANDLE
        return kInvalidFileSize;
    }
    const std::uint64_t size = files.at(found->second.path).size();
    sizeHigh = static_cast<std::uint32_t>(size >> 32);
    return static_cast<std::uint32_t>(size);
}

bool FakeDevice::CeWriteFile(DeviceHandle file, const void* buffer, std::uint32_t bytesToWrite,
                             std::uint32_t& bytesWritten)
{
    bytesWritten = 0;
    if (!Enter("CeWriteFile")) {
        return false;
    }
    auto found = open_.find(file);
    if (found == open_.end() || !found->second.writing) {
        return Fail(6);
    }
    if (failWrite) {
        return Fail(112);  // ERROR_DISK_FULL
    }
    const std::uint32_t taken = std::min(bytesToWrite, writeAtMost.value_or(bytesToWrite));
    files[found->second.path].append(static_cast<const char*>(buffer), taken);
    bytesWritten = taken;
    return true;
}

bool FakeDevice::CeCloseHandle(DeviceHandle file)
{
    return Enter("CeCloseHandle") && open_.erase(file) == 1;
}

bool FakeDevice::CeDeleteFile(const std::u16string& path)
{
    if (!Enter("CeDeleteFile")) {
        return false;
    }
    if (failDelete) {
        return Fail(5);
    }
    if (IsOpen(path)) {
        return Fail(kErrorSharingViolation);
    }
    if (files.erase(path) == 0) {
        return Fail(kErrorFileNotFound);
    }
    return true;
}

bool FakeDevice::CeMoveFile(const std::u16string& existingPath, const std::u16string& newPath)
{
    if (!Enter("CeMoveFile")) {
        return false;
    }
    if (moveFailCode != 0) {
        return Fail(moveFailCode);
    }
    if (IsOpen(existingPath)) {
        return Fail(kErrorSharingViolation);
    }
    const auto source = files.find(existingPath);
    if (source == files.end()) {
        return Fail(kErrorFileNotFound);
    }
    if (files.count(newPath) != 0) {
        return Fail(kErrorAlreadyExists);
    }
    files[newPath] = std::move(source->second);
    files.erase(existingPath);
    return true;
}

bool FakeDevice::IsOpen(const std::u16string& path) const
{
    return std::any_of(open_.begin(), open_.end(),
                       [&path](const auto& entry) { return entry.second.path == path; });
}

// ---------------------------------------------------------------- FTP

void FakeFtpClient::Step(const std::string& where)
{
    server_.journal.push_back(where);
    if (plan_ != nullptr) {
        plan_->Step("ftp " + where);
    }
}

void FakeFtpClient::Connect(const FtpAccount& account)
{
    Step("connect");
    server_.connectsAt.push_back(clock_.SteadyNow());
    connected_ = false;
    host = account.server.host;
    user = account.user;
    password = account.password;
    // The window is kept alive while the attempt is under way, as a real
    // client keeps it, until the attempt ends or its time limit runs out.
    const SteadyClock::time_point started = clock_.SteadyNow();
    do {
        pump_.PumpMessages();
    } while (server_.neverAnswer && clock_.SteadyNow() - started < kConnectTimeLimit);
    Deal(FtpStage::Connect);
    if (server_.neverAnswer) {
        throw FtpError(FtpFailureKind::ConnectionLost,
                       "no answer within 60 seconds while connecting and logging in");
    }
    if (server_.refuseConnection) {
        throw FtpError(FtpFailureKind::Unreachable, "the connection was refused");
    }
    if (user != server_.acceptedUser || password != server_.acceptedPassword) {
        throw FtpError(FtpFailureKind::Refused, "the server refused the login", server_.loginRefusal);
    }
    Step("connected");
    connected_ = true;
}

void FakeFtpClient::PutFile(const std::string& localName, const std::string& remotePath)
{
    Step("put " + remotePath);
    if (!connected_) {
        throw FtpError(FtpFailureKind::ConnectionLost, "not connected");
    }
    Deal(FtpStage::PutStart);
    if (!server_.storReply.empty()) {
        throw FtpError(FtpFailureKind::Refused, "the server refused the upload", server_.storReply);
    }
    if (const auto refusal = server_.storReplyFor.find(remotePath); refusal != server_.storReplyFor.end()) {
        throw FtpError(FtpFailureKind::Refused, "the server refused the upload", refusal->second);
    }
    std::string data;
    try {
        data = ReadWholeFile(files_, localName);
    } catch (const FileError& error) {
        throw FtpError(FtpFailureKind::LocalFile,
                       "the file " + localName + " could not be opened: " + error.Reason());
    }
    std::string& stored = server_.files[remotePath];
    stored = data.substr(0, data.size() / 2);
    if (plan_ != nullptr) {
        plan_->Step("ftp put (second half) " + remotePath);
    }
    Deal(FtpStage::PutMidway);
    stored = data.substr(0, std::min(data.size(), server_.storeOnly));
    Deal(FtpStage::PutEnd);
}

std::optional<std::uint64_t> FakeFtpClient::RemoteFileSize(const std::string& remotePath)
{
    Step("size " + remotePath);
    if (server_.failListing) {
        throw FtpError(FtpFailureKind::Refused, "the server refused the listing", "550 Permission denied.");
    }
    auto found = server_.files.find(remotePath);
    if (found == server_.files.end()) {
        return std::nullopt;
    }
    return found->second.size();
}

void FakeFtpClient::GetFile(const std::string& remotePath, const std::string& localName)
{
    Step("get " + remotePath);
    if (!connected_) {
        throw FtpError(FtpFailureKind::ConnectionLost, "not connected");
    }
    WriteWholeFile(files_, localName, server_.files.at(remotePath));
}

void FakeFtpClient::ListFolder(const std::string& folder)
{
    Step("list " + folder);
    if (!connected_) {
        throw FtpError(FtpFailureKind::ConnectionLost, "not connected");
    }
    if (server_.missingFolders.contains(folder)) {
        throw FtpError(FtpFailureKind::Refused, "the server has no folder " + folder,
                       "550 No such file or directory.");
    }
    if (server_.failListing) {
        throw FtpError(FtpFailureKind::Refused, "the server could not list the folder " + folder,
                       "550 Permission denied.");
    }
}

void FakeFtpClient::Deal(FtpStage stage)
{
    for (DealtFailure& failure : server_.failures) {
        if (failure.at == stage && failure.times > 0) {
            --failure.times;
            for (const SteadyClock::time_point started = clock_.SteadyNow();
                 clock_.SteadyNow() - started < failure.after;) {
                pump_.PumpMessages();
            }
            server_.journal.push_back(std::string("failed: ") + failure.error.what());
            throw failure.error;
        }
    }
}

void FakeFtpClient::Disconnect()
{
    server_.journal.push_back("disconnect");
    connected_ = false;
}

// ---------------------------------------------------------------- clock, window

void FakeClock::Advance(std::chrono::milliseconds by)
{
    steady += by;
    pending_ += by;
    while (pending_ >= std::chrono::minutes(1)) {
        pending_ -= std::chrono::minutes(1);
        if (++now.minute == 60) {
            now.minute = 0;
            if (++now.hour == 24) {
                now.hour = 0;
                ++now.day;
            }
        }
    }
}

void FakeWindow::PumpMessages()
{
    ++pumps;
    clock_.Advance(std::chrono::milliseconds(100));
    if (closeAtPump != 0 && pumps >= closeAtPump) {
        throw WindowClosed();
    }
}

void FakeWindow::ReportProgress(const Progress& report)
{
    progress.push_back(report);
    if (closeAtProgress != 0 && progress.size() >= closeAtProgress) {
        throw WindowClosed();
    }
}

}  // namespace kestrane::testing
