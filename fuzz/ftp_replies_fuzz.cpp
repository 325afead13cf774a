// Feeds arbitrary server replies, and a password, through the rules that read
// what an FTP server says, and checks what every failure report relies on.
#include "ftp/ftp_replies.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
    if (kestrane::SaysNoSuchFile(reply) && code != 450 && code != 550) {
        std::abort();
    }

    // A failure keeps a refusal only, trimmed, its code read from the
    // server's own words, and never shows the password (the mask is made of
    // '*', so a password of them is left out).
    const kestrane::CallFailure failure = kestrane::FailureOf(12003, reply, password);
    const std::string trimmed = kestrane::Trimmed(reply);
    if (failure.reply.empty() != (failure.replyCode == 0)
        || (failure.replyCode != 0 && failure.replyCode != kestrane::ReplyCode(trimmed))
        || failure.noSuchFile != kestrane::SaysNoSuchFile(trimmed)) {
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
    static_cast<void>(kestrane::NamesPath(password, reply));
    return 0;
}
