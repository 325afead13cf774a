// Feeds arbitrary server replies, and a password, through the rules that read
// what an FTP server says, and checks what every failure report relies on;
// and the same bytes through the readers of listings.
#include "ftp/ftp_listing.h"
#include "ftp/ftp_replies.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    // First byte: the password's length; then the password; the rest: the reply.
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t passwordLength = std::min<std::size_t>(data[0] % 16, input.size());
    const std::string password = input.substr(0, passwordLength);
    const std::string reply = input.substr(passwordLength);

    // A code is three digits that start the reply, or nothing.
    const int code = kestrane::ReplyCode(reply);
    if (code < 0 || code > 999 || (code != 0 && std::stoi(reply.substr(0, 3)) != code)) {
        std::abort();
    }
    // A SIZE reply is read by its code: a size only from a last line of
    // "213", blanks and the digits of that size; no file only from a 550.
    const kestrane::SizeReply sizeReply = kestrane::ReadSizeReply(reply);
    const std::string trimmed = kestrane::Trimmed(reply);
    const int sizeCode = kestrane::ReplyCode(trimmed);
    if (sizeReply.answer == kestrane::SizeAnswer::Size) {
        const auto lineStart = trimmed.find_last_of("\r\n");
        const std::string line = trimmed.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
        std::string digits = line.substr(std::min(line.size(), line.find_first_not_of(' ', 3)));
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
        if (line.rfind("213 ", 0) != 0 || digits != std::to_string(sizeReply.size)) {
            std::abort();
        }
    } else if (sizeReply.size != 0
               || (sizeReply.answer == kestrane::SizeAnswer::NoSuchFile && sizeCode != 550)
               || (sizeReply.answer == kestrane::SizeAnswer::Unsupported && sizeCode != 500
                   && sizeCode != 502)) {
        std::abort();
    }

    // A failure keeps a refusal only, trimmed, its code read from the
    // server's own words, and never shows the password (the mask is made of
    // '*', so a password of them is left out).
    const kestrane::CallFailure failure = kestrane::FailureOf(12003, reply, password);
    if (failure.reply.empty() != (failure.replyCode == 0)
        || (failure.replyCode != 0 && failure.replyCode != kestrane::ReplyCode(trimmed))) {
        std::abort();
    }
    if (kestrane::Trimmed(failure.reply) != failure.reply) {
        std::abort();
    }
    if (!password.empty() && password.find('*') == std::string::npos
        && failure.reply.find(password) != std::string::npos) {
        std::abort();
    }
    if (kestrane::Trimmed(trimmed) != trimmed) {
        std::abort();
    }

    const kestrane::FtpError error = kestrane::ConnectFailure(
        failure, {"ftp.example.com", 21}, [](std::uint32_t) { return std::string("other"); });
    if (!error.ServerReply().empty() && error.ServerReply() != failure.reply) {
        std::abort();
    }

    // A data port comes only from a 227 or a 229, and is never 0; a folder
    // only from a 257, and is never empty.
    const std::optional<std::uint16_t> port = kestrane::ReadPassivePort(reply);
    if (port && (*port == 0 || (sizeCode != 227 && sizeCode != 229))) {
        std::abort();
    }
    const std::optional<std::string> folder = kestrane::ReadFolderReply(reply);
    if (folder && (folder->empty() || sizeCode != 257)) {
        std::abort();
    }

    // Every entry of a listing has a name, and only a file has a size.
    for (const auto format : {kestrane::ListingFormat::Mlsd, kestrane::ListingFormat::List}) {
        for (const kestrane::ListedEntry& entry : kestrane::ReadListing(reply, format)) {
            if (entry.name.empty() || (entry.size && entry.type != kestrane::EntryType::File)) {
                std::abort();
            }
        }
    }

    // A remote path splits into a folder and a name without a slash, which
    // give the path back with only slashes between them.
    const kestrane::RemoteLocation location = kestrane::SplitRemotePath(reply);
    const std::size_t folderPart = location.folder == "/" ? 0 : location.folder.size();
    if (location.name.find('/') != std::string::npos || reply.size() < folderPart + location.name.size()
        || reply.compare(reply.size() - location.name.size(), std::string::npos, location.name) != 0) {
        std::abort();
    }
    const std::string between = reply.substr(folderPart, reply.size() - folderPart - location.name.size());
    if (location.folder.empty()
            ? !between.empty()
            : (reply.compare(0, folderPart, location.folder, 0, folderPart) != 0 || between.empty()
               || between.find_first_not_of('/') != std::string::npos)) {
        std::abort();
    }
    return 0;
}
