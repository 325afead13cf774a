#include "ftp/ftp_replies.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using namespace failure_code;

std::string SystemText(std::uint32_t code)
{
    return "system text " + std::to_string(code);
}

struct ReplyCase {
    const char* reply;
    int code;
    bool refusal;
    bool noSuchFile;
};

// Replies as servers word them, and text that only looks like a reply.
const ReplyCase kReplies[] = {
    {"550 No such file or directory.", 550, true, true},
    {"450 NO SUCH FILE", 450, true, true},
    {"550 File not found", 550, true, true},
    {"550 Directory does not exist.", 550, true, true},
    {"550 Permission denied.", 550, true, false},
    {"553 No such file or directory.", 553, true, false},
    {"226 No such file", 226, false, false},
    {"530 Login incorrect.", 530, true, false},
    {"599 last refusal", 599, true, false},
    {"600 beyond the codes", 600, false, false},
    {"399 just below them", 399, false, false},
    {"55 short", 0, false, false},
    {"5x0 not a code", 0, false, false},
    {" 550 not at the start", 0, false, false},
    {"", 0, false, false},
};

TEST(FtpRepliesTest, ReadsTheCodeAndWhatTheReplySays)
{
    for (const ReplyCase& reply : kReplies) {
        EXPECT_EQ(ReplyCode(reply.reply), reply.code) << reply.reply;
        EXPECT_EQ(IsRefusal(ReplyCode(reply.reply)), reply.refusal) << reply.reply;
        EXPECT_EQ(SaysNoSuchFile(reply.reply), reply.noSuchFile) << reply.reply;
    }
}

struct TextCase {
    const char* text;
    const char* password;
    const char* trimmed;
    const char* masked;
};

const TextCase kTexts[] = {
    {" \t530 User kestrane cannot log in.\r\n", "secret", "530 User kestrane cannot log in.",
     " \t530 User kestrane cannot log in.\r\n"},
    {"530 PASS secret refused for secret", "secret", "530 PASS secret refused for secret",
     "530 PASS ******** refused for ********"},
    {"552 aaa", "aa", "552 aaa", "552 ********a"},
    {"550 secretsecret", "secret", "550 secretsecret", "550 ****************"},
    {"550 no password given", "", "550 no password given", "550 no password given"},
    {" \r\n\t", "secret", "", " \r\n\t"},
};

TEST(FtpRepliesTest, TrimsAndMasksThePassword)
{
    for (const TextCase& text : kTexts) {
        EXPECT_EQ(Trimmed(text.text), text.trimmed) << text.text;
        EXPECT_EQ(WithoutPassword(text.text, text.password), text.masked) << text.text;
    }
}

struct LastReplyCase {
    const char* lastReply;
    const char* password;
    int replyCode;
    bool noSuchFile;
    const char* reported;
};

const LastReplyCase kLastReplies[] = {
    {" 550 No such file or directory.\r\n", "secret", 550, true, "550 No such file or directory."},
    {"530 PASS secret refused\r\n", "secret", 530, false, "530 PASS ******** refused"},
    // A password that the server's words contain changes no decision.
    {"550 No such file", "file", 550, true, "550 No such ********"},
    {"550 No such file", "55", 550, true, "********0 No such file"},
    // Only refusals are kept: anything else is a stale reply.
    {"226 Transfer complete (secret).", "secret", 0, false, ""},
    {"150 Opening BINARY mode data connection.", "secret", 0, false, ""},
    {"", "secret", 0, false, ""},
};

TEST(FtpRepliesTest, AFailureKeepsOnlyARefusingReplyAndReadsItUnmasked)
{
    for (const LastReplyCase& last : kLastReplies) {
        const CallFailure failure = FailureOf(kInternetExtendedError, last.lastReply, last.password);
        EXPECT_EQ(failure.code, kInternetExtendedError);
        EXPECT_EQ(failure.replyCode, last.replyCode) << last.lastReply;
        EXPECT_EQ(failure.noSuchFile, last.noSuchFile) << last.lastReply;
        EXPECT_EQ(failure.reply, last.reported) << last.lastReply;
    }
}

struct FailureCase {
    std::uint32_t code;
    const char* description;
    bool connectionLost;
};

const FailureCase kFailures[] = {
    {kInternetTimeout, "the server did not answer in time", false},
    {kInternetNameNotResolved, "the server name could not be found", false},
    {kInternetCannotConnect, "the connection was refused", false},
    {kSocketConnectionRefused, "the connection was refused", false},
    {kInternetConnectionAborted, "the connection was broken off", true},
    {kSocketConnectionAborted, "the connection was broken off", false},
    {kInternetConnectionReset, "the connection was reset", true},
    {kSocketConnectionReset, "the connection was reset", false},
    {kFtpDropped, "the server closed the connection", true},
    {kFtpTransferInProgress, "the server closed the connection", true},
    {kInternetLoginFailure, "the server refused the login", false},
    {kInternetExtendedError, "the server refused the request", false},
    {kInvalidHandle, "the connection was closed", false},
    {kInternetOperationCancelled, "the connection was closed", false},
    {5, "system text 5", false},
    {0, "system text 0", false},
};

TEST(FtpRepliesTest, DescribesFailuresInPlainWords)
{
    for (const FailureCase& failure : kFailures) {
        EXPECT_EQ(DescribeFailure(failure.code, SystemText), failure.description) << failure.code;
        EXPECT_EQ(IsConnectionLost(failure.code), failure.connectionLost) << failure.code;
    }
}

struct ConnectCase {
    std::uint32_t code;
    const char* lastReply;
    const char* reason;
    const char* reply;
};

const ConnectCase kConnectFailures[] = {
    {kInternetExtendedError, "421 Too many connections", "the server refused the connection",
     "421 Too many connections"},
    {kInternetExtendedError, "421 Bye secret", "the server refused the connection", "421 Bye ********"},
    {kInternetLoginFailure, "530 Authentication failed.", "the server refused the login",
     "530 Authentication failed."},
    {kInternetLoginFailure, "", "the server refused the login", ""},
    {kInternetExtendedError, "500 Unknown command.", "the server refused the login", "500 Unknown command."},
    {kInternetTimeout, "220 Welcome", "no FTP server answered at ftp.example.com:2121", ""},
    {kInternetNameNotResolved, "", "the server name ftp.example.com could not be found", ""},
    {kInternetCannotConnect, "", "the connection was refused", ""},
    {kFtpDropped, "", "the server closed the connection", ""},
    {1234, "", "system text 1234", ""},
};

TEST(FtpRepliesTest, TellsWhyConnectingFailed)
{
    const HostAndPort address{"ftp.example.com", 2121};
    for (const ConnectCase& connect : kConnectFailures) {
        const FtpError error =
            ConnectFailure(FailureOf(connect.code, connect.lastReply, "secret"), address, SystemText);
        EXPECT_STREQ(error.what(), connect.reason) << connect.code << " " << connect.lastReply;
        EXPECT_EQ(error.ServerReply(), connect.reply) << connect.code << " " << connect.lastReply;
    }
}

TEST(FtpRepliesTest, AListedNameIsThePathOrItsLastPart)
{
    EXPECT_TRUE(NamesPath("A.TXT", "A.TXT"));
    EXPECT_TRUE(NamesPath("in/A.TXT", "in/A.TXT"));
    EXPECT_TRUE(NamesPath("A.TXT", "in/A.TXT"));
    EXPECT_TRUE(NamesPath("A.TXT", "/in/sub/A.TXT"));
    EXPECT_TRUE(NamesPath("A.TXT", "in\\A.TXT"));
    EXPECT_FALSE(NamesPath("B.TXT", "in/A.TXT"));
    EXPECT_FALSE(NamesPath("a.txt", "in/A.TXT"));
    EXPECT_FALSE(NamesPath("A.TXT", "in/A.TXT.pending"));
    EXPECT_FALSE(NamesPath("in", "in/A.TXT"));
}

}  // namespace
}  // namespace kestrane
