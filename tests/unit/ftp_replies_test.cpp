#include "ftp/ftp_replies.h"

#include <gtest/gtest.h>

#include <cstdint>

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
};

// Replies as servers word them, and text that only looks like a reply.
const ReplyCase kReplies[] = {
    {"550 No such file or directory.", 550, true},
    {"450 NO SUCH FILE", 450, true},
    {"226 No such file", 226, false},
    {"530 Login incorrect.", 530, true},
    {"599 last refusal", 599, true},
    {"600 beyond the codes", 600, false},
    {"399 just below them", 399, false},
    {"55 short", 0, false},
    {"5x0 not a code", 0, false},
    {" 550 not at the start", 0, false},
    {"", 0, false},
};

TEST(FtpRepliesTest, ReadsTheCodeAndWhetherTheReplyRefuses)
{
    for (const ReplyCase& reply : kReplies) {
        EXPECT_EQ(ReplyCode(reply.reply), reply.code) << reply.reply;
        EXPECT_EQ(IsRefusal(ReplyCode(reply.reply)), reply.refusal) << reply.reply;
    }
}

struct SizeCase {
    const char* server;
    const char* reply;
    SizeAnswer answer;
    std::uint64_t size;
};

// Replies to SIZE as servers give them: only the code decides, whatever the words.
const SizeCase kSizeReplies[] = {
    {"IIS", "550 The system cannot find the file specified.", SizeAnswer::NoSuchFile, 0},
    {"IIS", "213 1048576\r\n", SizeAnswer::Size, 1048576},
    {"FileZilla Server", "550 File not found", SizeAnswer::NoSuchFile, 0},
    {"FileZilla Server", "500 Syntax error, command unrecognized.", SizeAnswer::Unsupported, 0},
    {"vsftpd", "550 Could not get file size.", SizeAnswer::NoSuchFile, 0},
    {"vsftpd", "213 0", SizeAnswer::Size, 0},
    {"ProFTPD", "550 in/26120705070042.TXT: No such file or directory", SizeAnswer::NoSuchFile, 0},
    // Refused in ASCII mode with a 550: why SIZE is only asked in binary mode.
    {"ProFTPD", "550 SIZE not allowed in ASCII mode", SizeAnswer::NoSuchFile, 0},
    {"ProFTPD", "550 in: not a regular file", SizeAnswer::NoSuchFile, 0},
    {"Pure-FTPd", "550 Can't check for file existence", SizeAnswer::NoSuchFile, 0},
    {"Pure-FTPd", "500 Unknown command", SizeAnswer::Unsupported, 0},
    {"German", "550 Datei nicht gefunden", SizeAnswer::NoSuchFile, 0},
    {"French",
     "502 Commande non impl\xe9"
     "ment\xe9"
     "e.",
     SizeAnswer::Unsupported, 0},
    {"multi-line", "213-Status\r\n213 42", SizeAnswer::Size, 42},
    {"blanks", " 213   7 \r\n", SizeAnswer::Size, 7},
    {"largest", "213 18446744073709551615", SizeAnswer::Size, UINT64_MAX},
    {"too large", "213 18446744073709551616", SizeAnswer::Unclear, 0},
    {"no size", "213 ", SizeAnswer::Unclear, 0},
    {"not a number", "213 12a", SizeAnswer::Unclear, 0},
    {"a word", "213 size 12", SizeAnswer::Unclear, 0},
    {"no blank", "21312", SizeAnswer::Unclear, 0},
    {"busy", "450 File busy", SizeAnswer::Unclear, 0},
    {"not logged in", "530 Please login with USER and PASS.", SizeAnswer::Unclear, 0},
    {"other code", "504 Command not implemented for that parameter.", SizeAnswer::Unclear, 0},
    {"nothing", "", SizeAnswer::Unclear, 0},
};

TEST(FtpRepliesTest, ASizeReplyIsReadByItsCodeAlone)
{
    for (const SizeCase& size : kSizeReplies) {
        const SizeReply read = ReadSizeReply(size.reply);
        EXPECT_EQ(read.answer, size.answer) << size.server << ": " << size.reply;
        EXPECT_EQ(read.size, size.size) << size.server << ": " << size.reply;
    }
    EXPECT_TRUE(NothingThere(550));
    EXPECT_FALSE(NothingThere(450));
    EXPECT_FALSE(NothingThere(553));
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
    const char* reported;
};

const LastReplyCase kLastReplies[] = {
    {" 550 No such file or directory.\r\n", "secret", 550, "550 No such file or directory."},
    {"530 PASS secret refused\r\n", "secret", 530, "530 PASS ******** refused"},
    // A password that the server's words contain changes no decision.
    {"550 No such file", "file", 550, "550 No such ********"},
    {"550 No such file", "55", 550, "********0 No such file"},
    // Only refusals are kept: anything else is a stale reply.
    {"226 Transfer complete (secret).", "secret", 0, ""},
    {"150 Opening BINARY mode data connection.", "secret", 0, ""},
    {"", "secret", 0, ""},
};

TEST(FtpRepliesTest, AFailureKeepsOnlyARefusingReplyAndReadsItUnmasked)
{
    for (const LastReplyCase& last : kLastReplies) {
        const CallFailure failure = FailureOf(kInternetExtendedError, last.lastReply, last.password);
        EXPECT_EQ(failure.code, kInternetExtendedError);
        EXPECT_EQ(failure.replyCode, last.replyCode) << last.lastReply;
        EXPECT_EQ(failure.reply, last.reported) << last.lastReply;
    }
}

struct FailureCase {
    std::uint32_t code;
    const char* description;
    bool connectionLost;
    FtpFailureKind kind;  // without a refusing reply
};

using enum FtpFailureKind;

const FailureCase kFailures[] = {
    {kInternetTimeout, "the server did not answer in time (error 12002)", false, ConnectionLost},
    {kInternetNameNotResolved, "the server name could not be found (error 12007)", false, Unreachable},
    {kInternetCannotConnect, "the connection was refused (error 12029)", false, Unreachable},
    {kSocketConnectionRefused, "the connection was refused (error 10061)", false, Unreachable},
    {kInternetConnectionAborted, "the connection was broken off (error 12030)", true, ConnectionLost},
    {kSocketConnectionAborted, "the connection was broken off (error 10053)", false, ConnectionLost},
    {kInternetConnectionReset, "the connection was reset (error 12031)", true, ConnectionLost},
    {kSocketConnectionReset, "the connection was reset (error 10054)", false, ConnectionLost},
    {kFtpDropped, "the server closed the connection (error 12111)", true, ConnectionLost},
    {kFtpTransferInProgress, "the server closed the connection (error 12110)", true, ConnectionLost},
    {kInternetLoginFailure, "the server refused the login (error 12015)", false, Refused},
    {kInternetExtendedError, "the server refused the request (error 12003)", false, Refused},
    {kInvalidHandle, "the connection was closed (error 6)", false, ConnectionLost},
    {kInternetOperationCancelled, "the connection was closed (error 12017)", false, ConnectionLost},
    {5, "system text 5", false, Other},
    {0, "system text 0", false, Other},
};

TEST(FtpRepliesTest, DescribesAndClassifiesFailures)
{
    for (const FailureCase& failure : kFailures) {
        EXPECT_EQ(DescribeFailure(failure.code, SystemText), failure.description) << failure.code;
        EXPECT_EQ(IsConnectionLost(failure.code), failure.connectionLost) << failure.code;
        EXPECT_EQ(KindOf(FailureOf(failure.code, "", "secret")), failure.kind) << failure.code;
        // A refusing reply is the server's to judge by its code, however the call failed.
        EXPECT_EQ(KindOf(FailureOf(failure.code, "426 Transfer aborted.", "secret")), Refused)
            << failure.code;
    }
}

struct ConnectCase {
    std::uint32_t code;
    const char* lastReply;
    const char* reason;
    const char* reply;
    FtpFailureKind kind;
};

const ConnectCase kConnectFailures[] = {
    {kInternetExtendedError, "421 Too many connections", "the server refused the connection",
     "421 Too many connections", Refused},
    {kInternetExtendedError, "421 Bye secret", "the server refused the connection", "421 Bye ********",
     Refused},
    {kInternetLoginFailure, "530 Authentication failed.", "the server refused the login",
     "530 Authentication failed.", Refused},
    {kInternetLoginFailure, "", "the server refused the login", "", Refused},
    {kInternetExtendedError, "500 Unknown command.", "the server refused the login", "500 Unknown command.",
     Refused},
    {kInternetTimeout, "220 Welcome", "no FTP server answered at ftp.example.com:2121", "", ConnectionLost},
    {kInternetNameNotResolved, "", "the server name ftp.example.com could not be found", "", Unreachable},
    {kInternetCannotConnect, "", "the connection was refused (error 12029)", "", Unreachable},
    {kFtpDropped, "", "the server closed the connection (error 12111)", "", ConnectionLost},
    {1234, "", "system text 1234", "", Other},
};

TEST(FtpRepliesTest, TellsWhyConnectingFailed)
{
    const HostAndPort address{"ftp.example.com", 2121};
    for (const ConnectCase& connect : kConnectFailures) {
        const FtpError error =
            ConnectFailure(FailureOf(connect.code, connect.lastReply, "secret"), address, SystemText);
        EXPECT_STREQ(error.what(), connect.reason) << connect.code << " " << connect.lastReply;
        EXPECT_EQ(error.ServerReply(), connect.reply) << connect.code << " " << connect.lastReply;
        EXPECT_EQ(error.Kind(), connect.kind) << connect.code << " " << connect.lastReply;
    }
}

struct RemotePathCase {
    const char* path;
    const char* folder;
    const char* name;
};

const RemotePathCase kRemotePaths[] = {
    {"A.TXT", "", "A.TXT"},
    {"in/A.TXT", "in", "A.TXT"},
    {"/in/sub/A.TXT", "/in/sub", "A.TXT"},
    {"/A.TXT", "/", "A.TXT"},
    {"in//A.TXT", "in", "A.TXT"},
    {"//A.TXT", "/", "A.TXT"},
    {"drop box [1]*/2612 0042 [x].TXT", "drop box [1]*", "2612 0042 [x].TXT"},
    {"in\\A.TXT", "", "in\\A.TXT"},
    {"in/", "in", ""},
};

TEST(FtpRepliesTest, ARemotePathIsTheFolderToListAndTheNameToFind)
{
    for (const RemotePathCase& path : kRemotePaths) {
        const RemoteLocation location = SplitRemotePath(path.path);
        EXPECT_EQ(location.folder, path.folder) << path.path;
        EXPECT_EQ(location.name, path.name) << path.path;
    }
}

struct PassiveCase {
    const char* reply;
    int port;  // 0: none can be read
};

// Replies to EPSV and PASV as servers word them, and broken ones. The
// address of a 227 is never read, so a private one changes nothing.
const PassiveCase kPassiveReplies[] = {
    {"229 Entering Extended Passive Mode (|||6446|)", 6446},
    {"229 Entering extended passive mode (|||50001|).\r\n", 50001},
    {"229 EPSV ok (!!!1!)", 1},
    {"229 Entering Extended Passive Mode (|||65535|)", 65535},
    {"229 Entering Extended Passive Mode (|||65536|)", 0},
    {"229 Entering Extended Passive Mode (|||0|)", 0},
    {"229 Entering Extended Passive Mode (||6446|)", 0},
    {"229 Entering Extended Passive Mode (|||6446)", 0},
    {"229 Entering Extended Passive Mode (|||-1|)", 0},
    {"229 Entering Extended Passive Mode", 0},
    {"227 Entering Passive Mode (192,168,1,10,195,80).", 50000},
    {"227 Entering Passive Mode (10,0,0,5,0,21)", 21},
    {"227 Entering Passive Mode 203,0,113,7,4,1", 1025},
    {"227 =127,0,0,1,255,255", 65535},
    {"227 Entering Passive Mode (192,168,1,10,256,80).", 0},
    {"227 Entering Passive Mode (192,168,1,10,195).", 0},
    {"227 Entering Passive Mode (192,168,1,10,0,0).", 0},
    {"227 Entering Passive Mode (192,168,1,10,,80).", 0},
    {"227 Entering Passive Mode.", 0},
    {"200 (|||6446|)", 0},
    {"", 0},
};

TEST(FtpRepliesTest, ReadsTheDataPortOfferedByEpsvAndPasv)
{
    for (const PassiveCase& passive : kPassiveReplies) {
        EXPECT_EQ(ReadPassivePort(passive.reply).value_or(0), passive.port) << passive.reply;
    }
}

struct FolderCase {
    const char* reply;
    const char* folder;  // nullptr: none can be read
};

const FolderCase kFolderReplies[] = {
    {"257 \"/\" is the current directory", "/"},
    {"257 \"/home/loc 42\" is current directory.\r\n", "/home/loc 42"},
    {"257 \"/say \"\"hi\"\"\" is current", "/say \"hi\""},
    {"257 \"C:\\Inetpub\\ftproot\"", "C:\\Inetpub\\ftproot"},
    {"257 \"/unclosed", nullptr},
    {"257 \"\" is nothing", nullptr},
    {"257 / without quotes", nullptr},
    {"550 \"/\" refused", nullptr},
};

TEST(FtpRepliesTest, ReadsTheFolderNamedByAReplyToPwd)
{
    for (const FolderCase& folder : kFolderReplies) {
        const std::optional<std::string> read = ReadFolderReply(folder.reply);
        EXPECT_EQ(read, folder.folder == nullptr ? std::nullopt : std::optional<std::string>(folder.folder))
            << folder.reply;
    }
}

}  // namespace
}  // namespace kestrane
