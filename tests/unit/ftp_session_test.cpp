#include "ftp/ftp_session.h"

#include "tests/unit/fakes.h"
#include "tests/unit/scripted_transport.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace kestrane {
namespace {

using namespace kestrane::testing;

// Every byte value, and line ends that a text-mode transfer would change.
const std::string kFile = PatternBytes(100'003) + "\r\n\n\r";

const std::vector<Exchange> kIntoIn = {
    {"PWD", "257 \"/\" is the current directory.\r\n"},
    {"CWD in", "250 \"/in\" is the current directory.\r\n"},
};
const std::vector<Exchange> kBackHome = {{"CWD /", "250 \"/\" is the current directory.\r\n"}};
const std::vector<Exchange> kNoSize = {{"SIZE in/26 0042.TXT", "500 Unknown command.\r\n"}};
const std::vector<Exchange> kNoMlsd = {{"MLSD", "500 Unknown command.\r\n"}};

enum class Run { LogIn, FileSize, Store, Retrieve, ListFolder };

struct ProtocolCase {
    const char* name;
    FtpTls tls;
    Run run;
    std::string path;  // the remote path, or the folder listed
    std::vector<Exchange> script;
    std::string outcome;  // what RunCase says
    std::size_t readSize = 4096;
    std::size_t dataBreaksAfter = SIZE_MAX;
    bool tlsFails = false;
};

// A failing case is named by its name, not its bytes.
void PrintTo(const ProtocolCase& protocolCase, std::ostream* out)
{
    *out << protocolCase.name;
}

// The session's answer, or its failure as "FtpError: <reason> | <reply>".
std::string RunCase(const ProtocolCase& protocolCase, ScriptedTransport& transport,
                    const std::shared_ptr<Transport>& shared)
{
    MemoryFiles files;
    files.contents["local.dat"] = kFile;
    Task<int> task;
    FtpSession session(shared, kScriptAccount, protocolCase.tls);
    try {
        session.LogIn();
        switch (protocolCase.run) {
        case Run::LogIn:
            return "logged in";
        case Run::FileSize: {
            const auto size = session.FileSize(protocolCase.path, task);
            return size ? "size " + std::to_string(*size) : "no such file";
        }
        case Run::Store:
            session.Store(*files.OpenForReading("local.dat"), kFile.size(), protocolCase.path, task);
            return transport.Seen().uploads.back() == kFile ? "stored the file" : "stored other bytes";
        case Run::Retrieve:
            session.Retrieve(protocolCase.path, *files.CreateForWriting("copy.dat"), task);
            return files.contents["copy.dat"] == kFile ? "received the file" : "received other bytes";
        case Run::ListFolder:
            session.ListFolder(protocolCase.path, task);
            return "listed";
        }
    } catch (const FtpError& error) {
        return std::string("FtpError: ") + error.what() + " | " + error.ServerReply();
    }
    return "nothing run";
}

const ProtocolCase kCases[] = {
    // Logging in.
    {"PlainLogin", FtpTls::None, Run::LogIn, "", kPlainLogin, "logged in"},
    {"UserAloneLogsIn", FtpTls::None, Run::LogIn, "",
     Join({kGreeting, {{"USER kestrane", "230 Anonymous access granted.\r\n"}}}), "logged in"},
    {"MultiLineRepliesAreReadWhole",
     FtpTls::None,
     Run::LogIn,
     "",
     {{"", "220-Welcome\r\n220-to the test server\r\n220 ready.\r\n"},
      {"USER kestrane", "331-Password\r\n please\r\n331 now\r\n"},
      {std::string("PASS ") + kScriptPassword,
       "230-Hello\r\n 230 is not the end\r\n123 nor another code\r\n230 in\r\n"}},
     "logged in"},
    {"RepliesSplitByteByByte", FtpTls::None, Run::LogIn, "", kPlainLogin, "logged in", 1},
    {"TwoRepliesInOneRead", FtpTls::None, Run::LogIn, "",
     Join({{{"", "120 Ready in a minute.\r\n220 Ready.\r\n"}}, kCredentials}), "logged in"},
    {"GreetingRefused",
     FtpTls::None,
     Run::LogIn,
     "",
     {{"", "421 Too many connections.\r\n"}},
     "FtpError: the server refused the connection | 421 Too many connections."},
    {"LoginRefused", FtpTls::None, Run::LogIn, "",
     Join({kGreeting,
           {{"USER kestrane", "331 Username ok.\r\n"},
            {std::string("PASS ") + kScriptPassword, "530 Login incorrect.\r\n"}}}),
     "FtpError: the server refused the login | 530 Login incorrect."},
    {"PasswordEchoedInARefusalIsMasked", FtpTls::None, Run::LogIn, "",
     Join({kGreeting,
           {{"USER kestrane", "331 Username ok.\r\n"},
            {std::string("PASS ") + kScriptPassword,
             std::string("500 'PASS ") + kScriptPassword + "': command not understood.\r\n"}}}),
     "FtpError: the server refused the login | 500 'PASS ********': command not understood."},
    {"AccountAskedFor", FtpTls::None, Run::LogIn, "",
     Join({kGreeting,
           {{"USER kestrane", "331 Username ok.\r\n"},
            {std::string("PASS ") + kScriptPassword, "332 Need account for login.\r\n"}}}),
     "FtpError: the server asks for an account (ACCT), which the settings do not give | 332 Need account for "
     "login."},
    {"ServerClosesDuringTheLogin", FtpTls::None, Run::LogIn, "", Join({kGreeting, {{"USER kestrane", ""}}}),
     "FtpError: the server closed the connection | "},
    {"UnreadableReply",
     FtpTls::None,
     Run::LogIn,
     "",
     {{"", "hello there\r\n"}},
     "FtpError: the server's reply could not be read: hello there | "},
    // Something that is no FTP server echoes what it is sent.
    {"UnreadableEchoOfThePasswordIsMasked", FtpTls::None, Run::LogIn, "",
     Join({kGreeting,
           {{"USER kestrane", "331 Username ok.\r\n"},
            {std::string("PASS ") + kScriptPassword, std::string("PASS ") + kScriptPassword + "\r\n"}}}),
     "FtpError: the server's reply could not be read: PASS ******** | "},

    // FTP over TLS: never anything in the clear instead.
    {"ExplicitTls", FtpTls::Explicit, Run::LogIn, "", kTlsLogin, "logged in"},
    {"ImplicitTls", FtpTls::Implicit, Run::LogIn, "",
     Join({{{kStartTls}}, kGreeting, kCredentials, kProtection}), "logged in"},
    {"AuthTlsRefusedSendsNoCredentials", FtpTls::Explicit, Run::LogIn, "",
     Join({kGreeting, {{"AUTH TLS", "500 'AUTH TLS': command not understood.\r\n"}}}),
     "FtpError: the server refused FTP over TLS | 500 'AUTH TLS': command not understood."},
    {"AuthTlsAnsweredWithoutTlsSendsNoCredentials", FtpTls::Explicit, Run::LogIn, "",
     Join({kGreeting, {{"AUTH TLS", "200 Whatever you say.\r\n"}}}),
     "FtpError: the server refused FTP over TLS | 200 Whatever you say."},
    {"ClearTextAfterAuthTlsIsRefused", FtpTls::Explicit, Run::LogIn, "",
     Join({kGreeting, {{"AUTH TLS", "234 Go ahead.\r\n230 User logged in.\r\n"}}}),
     "FtpError: the server sent more than its answer to AUTH TLS before TLS began | "},
    {"UntrustedServerGetsNoCredentials", FtpTls::Explicit, Run::LogIn, "",
     Join({kGreeting, {{"AUTH TLS", "234 Go ahead.\r\n"}, {kStartTls}}}),
     "FtpError: TLS could not be started with the server: the server's certificate is not trusted | ", 4096,
     SIZE_MAX, true},
    {"ProtPRefused", FtpTls::Implicit, Run::LogIn, "",
     Join({{{kStartTls}},
           kGreeting,
           kCredentials,
           {{"PBSZ 0", "200 PBSZ=0 successful.\r\n"},
            {"PROT P", "536 Requested PROT level not supported by mechanism.\r\n"}}}),
     "FtpError: the server refused to protect the data connections (PROT P) | 536 Requested PROT level not "
     "supported by mechanism."},

    // Sizes: SIZE, or a listing where the server has none.
    {"SizeTold", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin, kBinaryType, {{"SIZE in/26 0042.TXT", "213 15637\r\n"}}}), "size 15637"},
    {"SizeOfNoFile", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           {{"SIZE in/26 0042.TXT", "550 in/26 0042.TXT: No such file or directory.\r\n"}}}),
     "no such file"},
    {"BinaryRefused", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin, {{"TYPE I", "504 Type not implemented.\r\n"}}}),
     "FtpError: the server refused binary transfers | 504 Type not implemented."},
    {"NoSizeThenMlsd", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join(
         {kPlainLogin,
          kBinaryType,
          kNoSize,
          kIntoIn,
          kExtendedPassive,
          {DataCommand(
              "MLSD", "type=cdir;size=0; .\r\ntype=file;size=1;modify=20240101120000; 26 0042.TXT.pending\r\n"
                      "Type=File;Size=15637;Modify=20240101120000; 26 0042.TXT\r\n")},
          kBackHome}),
     "size 15637"},
    {"NoMlsdThenUnixList", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           kIntoIn,
           kExtendedPassive,
           kNoMlsd,
           kExtendedPassive,
           {DataCommand("LIST", "total 3\r\n"
                                "drwxr-xr-x 2 owner group  4096 Feb  3  2023 26 0042.TXT.old\r\n"
                                "-rw-r--r-- 1 owner group     1 Jan  1 12:00 26 0042.TXT.pending\r\n"
                                "-rw-r--r-- 1 owner group 15637 Jan  1 12:00 26 0042.TXT\r\n")},
           kBackHome}),
     "size 15637"},
    {"NoMlsdThenDosList", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           kIntoIn,
           kExtendedPassive,
           {{"MLSD", "502 Command not implemented.\r\n"}},
           kExtendedPassive,
           {DataCommand("LIST", "01-01-24  12:00PM       <DIR>          26 0042 old\r\n"
                                "01-01-24  12:00PM                15637 26 0042.TXT\r\n")},
           kBackHome}),
     "size 15637"},
    {"ListedWithoutTheFile", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           kIntoIn,
           kExtendedPassive,
           {DataCommand("MLSD", "type=file;size=1; 26 0042.TXT.pending\n")},
           kBackHome}),
     "no such file"},
    {"ListingOfAnEmptyFolderRefused", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           kIntoIn,
           kExtendedPassive,
           {{"MLSD", "550 No files found.\r\n"}},
           kBackHome}),
     "no such file"},
    {"NoSuchFolderHoldsNoFile", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           {{"PWD", "257 \"/\" is the current directory.\r\n"}, {"CWD in", "550 No such directory.\r\n"}}}),
     "no such file"},
    {"ListedFolderOfTheFilesName", FtpTls::None, Run::FileSize, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kNoSize,
           kIntoIn,
           kExtendedPassive,
           {DataCommand("MLSD", "type=dir;size=4096; 26 0042.TXT\r\n")},
           kBackHome}),
     "FtpError: the server holds a folder or a link named in/26 0042.TXT, not a file | "},
    {"SizeInTheLoginFolderListsItWithoutChangingFolder", FtpTls::None, Run::FileSize, "26.TXT",
     Join({kPlainLogin,
           kBinaryType,
           {{"SIZE 26.TXT", "502 Command not implemented.\r\n"}},
           kExtendedPassive,
           {DataCommand("MLSD", "type=file;size=7; 26.TXT\r\n")}}),
     "size 7"},
    {"LineBreakInAPathIsNeverSent", FtpTls::None, Run::FileSize, "in/26.TXT\r\nDELE in/other.TXT",
     Join({kPlainLogin, kBinaryType}),
     "FtpError: a name or password with a line break in it cannot be sent to an FTP server | "},

    // Uploads.
    {"Stored", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin, kBinaryType, kExtendedPassive, {DataCommand("STOR in/26 0042.TXT")}}),
     "stored the file"},
    {"StoredAfter125", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kExtendedPassive,
           {{"STOR in/26 0042.TXT", "125 Data connection already open.\r\n", "",
             "250 Transfer complete.\r\n"}}}),
     "stored the file"},
    {"StoredOverTls", FtpTls::Explicit, Run::Store, "in/26 0042.TXT",
     Join({kTlsLogin, kBinaryType, kExtendedPassive, {DataCommand("STOR in/26 0042.TXT")}}),
     "stored the file"},
    {"StoreRefused", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kExtendedPassive,
           {{"STOR in/26 0042.TXT", "553 Could not create file.\r\n"}}}),
     "FtpError: the server refused to store in/26 0042.TXT | 553 Could not create file."},
    {"StoreNotAccepted", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kExtendedPassive,
           {DataCommand("STOR in/26 0042.TXT", "",
                        "552 Requested file action aborted: exceeded storage allocation.\r\n")}}),
     "FtpError: the server did not accept in/26 0042.TXT | 552 Requested file action aborted: exceeded "
     "storage "
     "allocation."},
    {"StoreBrokenOff", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kExtendedPassive,
           {DataCommand("STOR in/26 0042.TXT", "", "426 Connection closed; transfer aborted.\r\n")}}),
     "FtpError: the transfer of in/26 0042.TXT broke off: the connection was reset | 426 Connection closed; "
     "transfer aborted.",
     4096, 65'536},
    {"StoreBrokenOffWithoutAWord", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin, kBinaryType, kExtendedPassive, {DataCommand("STOR in/26 0042.TXT", "", "")}}),
     "FtpError: the transfer of in/26 0042.TXT broke off: the connection was reset | ", 4096, 65'536},
    {"PasvRefused", FtpTls::None, Run::Store, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           {{"EPSV", "502 Command not implemented.\r\n"}, {"PASV", "421 Passive mode disabled.\r\n"}}}),
     "FtpError: the server refused a data connection | 421 Passive mode disabled."},
    {"Received", FtpTls::None, Run::Retrieve, "in/26 0042.TXT",
     Join({kPlainLogin, kBinaryType, kExtendedPassive, {DataCommand("RETR in/26 0042.TXT", kFile)}}),
     "received the file"},
    {"ReceivedWithBothRepliesInOneRead", FtpTls::None, Run::Retrieve, "in/26 0042.TXT",
     Join({kPlainLogin,
           kBinaryType,
           kExtendedPassive,
           {{"RETR in/26 0042.TXT", "150 Opening data connection.\r\n226 Transfer complete.\r\n", kFile}}}),
     "received the file"},
    {"RetrieveRefused", FtpTls::None, Run::Retrieve, "in/26 0042.TXT",
     Join({kPlainLogin, kBinaryType, kExtendedPassive, {{"RETR in/26 0042.TXT", "550 No such file.\r\n"}}}),
     "FtpError: the server refused to send in/26 0042.TXT | 550 No such file."},
    {"ListsAFolderWhoseNamesHoldBlanksBracketsAndQuotes", FtpTls::None, Run::ListFolder, "in/drop box [1]",
     Join({kPlainLogin,
           {{"PWD", "257 \"/home/loc \"\"42\"\"\" is the current directory.\r\n"},
            {"CWD in/drop box [1]", "250 OK.\r\n"}},
           kExtendedPassive,
           {DataCommand("MLSD", "type=file;size=7; a b\r\n")},
           {{"CWD /home/loc \"42\"", "250 OK.\r\n"}}}),
     "listed"},
    {"ListsNoMissingFolder", FtpTls::None, Run::ListFolder, "in/gone",
     Join({kPlainLogin,
           {{"PWD", "257 \"/\"\r\n"}, {"CWD in/gone", "550 in/gone: No such file or directory.\r\n"}}}),
     "FtpError: the server has no folder in/gone | 550 in/gone: No such file or directory."},
    {"ListingRefusedStillReturnsHome", FtpTls::None, Run::ListFolder, "in",
     Join({kPlainLogin, kIntoIn, kExtendedPassive, {{"MLSD", "450 Cannot list now.\r\n"}}, kBackHome}),
     "FtpError: the server could not list the folder in | 450 Cannot list now."},
    {"WayBackRefused", FtpTls::None, Run::ListFolder, "in",
     Join({kPlainLogin,
           kIntoIn,
           kExtendedPassive,
           {DataCommand("MLSD")},
           {{"CWD /", "550 Permission denied.\r\n"}}}),
     "FtpError: the server did not let Kestrane back into the folder /: 550 Permission denied. | "},
};

class FtpProtocolTest : public ::testing::TestWithParam<ProtocolCase> {};

// The session says what the case expects, and has sent exactly the
// script's commands: none left out, none more (so nothing after a refusal
// that must end it, such as no user name or password once TLS failed).
TEST_P(FtpProtocolTest, PlaysTheScript)
{
    const ProtocolCase& protocolCase = GetParam();
    auto transport = std::make_shared<ScriptedTransport>(protocolCase.script);
    transport->readSize = protocolCase.readSize;
    transport->dataBreaksAfter = protocolCase.dataBreaksAfter;
    transport->tlsFails = protocolCase.tlsFails;

    EXPECT_EQ(RunCase(protocolCase, *transport, transport), protocolCase.outcome);
    EXPECT_EQ(transport->Seen().mismatch, "");
    EXPECT_EQ(transport->Seen().unplayed, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpProtocolTest, ::testing::ValuesIn(kCases),
                         [](const auto& protocolCase) { return std::string(protocolCase.param.name); });

// Data connections go to the control connection's address, whatever
// address a 227 reply names (here a private one, from behind NAT).
TEST(FtpSessionTest, DataConnectionsGoToTheControlConnectionsAddress)
{
    auto transport = std::make_shared<ScriptedTransport>(
        Join({kPlainLogin,
              kBinaryType,
              {{"EPSV", "500 'EPSV': command not understood.\r\n"},
               {"PASV", "227 Entering passive mode (10,0,0,5,195,81).\r\n"}},
              {DataCommand("RETR in/a.dat", "data")}}));
    transport->peerAddress = "198.51.100.20";
    FtpSession session(transport, kScriptAccount, FtpTls::None);
    MemoryFiles files;
    Task<int> task;
    session.LogIn();
    session.Retrieve("in/a.dat", *files.CreateForWriting("copy"), task);

    EXPECT_EQ(transport->Seen().dataConnections, std::vector<std::string>{"198.51.100.20:50001"});
    EXPECT_EQ(files.contents["copy"], "data");
}

TEST(FtpSessionTest, AProtectedSessionStartsTlsOnEveryDataConnectionForTheServersName)
{
    for (const FtpTls tls : {FtpTls::Explicit, FtpTls::None}) {
        const bool secure = tls != FtpTls::None;
        auto transport = std::make_shared<ScriptedTransport>(Join({secure ? kTlsLogin : kPlainLogin,
                                                                   kBinaryType,
                                                                   kExtendedPassive,
                                                                   {DataCommand("STOR in/a.dat")},
                                                                   kExtendedPassive,
                                                                   {DataCommand("RETR in/a.dat", "data")}}));
        FtpSession session(transport, kScriptAccount, tls);
        MemoryFiles files;
        files.contents["local"] = "data";
        Task<int> task;
        session.LogIn();
        session.Store(*files.OpenForReading("local"), 4, "in/a.dat", task);
        session.Retrieve("in/a.dat", *files.CreateForWriting("copy"), task);

        const std::vector<std::string> expected =
            secure ? std::vector<std::string>{"ftp.example.com", "ftp.example.com"}
                   : std::vector<std::string>{};
        EXPECT_EQ(transport->Seen().dataTls, expected);
        EXPECT_EQ(transport->Seen().mismatch, "");
    }
}

// TYPE I, SIZE, EPSV, MLSD and PWD are each asked once: the second size
// goes straight to the listing that the first one learnt to use.
TEST(FtpSessionTest, WhatTheServerLacksIsAskedForOnce)
{
    const std::vector<Exchange> listing = {{"EPSV", "502 Command not implemented.\r\n"},
                                           {"PASV", "227 Entering passive mode (203,0,113,7,195,80).\r\n"}};
    auto transport = std::make_shared<ScriptedTransport>(Join({
        kPlainLogin,
        kBinaryType,
        kNoSize,
        kIntoIn,
        listing,
        {{"MLSD", "500 Unknown command.\r\n"}},
        {{"PASV", "227 Entering passive mode (203,0,113,7,195,80).\r\n"}},
        {DataCommand("LIST", "-rw-r--r-- 1 o g 15637 Jan  1 12:00 26 0042.TXT\r\n")},
        kBackHome,
        {{"CWD in", "250 OK.\r\n"}},
        {{"PASV", "227 Entering passive mode (203,0,113,7,195,80).\r\n"}},
        {DataCommand("LIST", "")},
        kBackHome,
    }));
    FtpSession session(transport, kScriptAccount, FtpTls::None);
    Task<int> task;
    session.LogIn();

    EXPECT_EQ(session.FileSize("in/26 0042.TXT", task), 15637u);
    EXPECT_EQ(session.FileSize("in/26 0042.TXT", task), std::nullopt);
    EXPECT_EQ(transport->Seen().mismatch, "");
    EXPECT_EQ(transport->Seen().unplayed, std::vector<std::string>{});
}

TEST(FtpSessionTest, TransfersTellHowFarTheyHaveGot)
{
    auto transport = std::make_shared<ScriptedTransport>(Join({kPlainLogin,
                                                               kBinaryType,
                                                               kExtendedPassive,
                                                               {DataCommand("STOR in/a.dat")},
                                                               kExtendedPassive,
                                                               {DataCommand("RETR in/a.dat", kFile)}}));
    FtpSession session(transport, kScriptAccount, FtpTls::None);
    MemoryFiles files;
    files.contents["local"] = kFile;
    session.LogIn();

    Task<int> sending;
    session.Store(*files.OpenForReading("local"), kFile.size(), "in/a.dat", sending);
    ASSERT_TRUE(sending.Transfer().has_value());
    EXPECT_EQ(sending.Transfer()->done, kFile.size());
    EXPECT_EQ(sending.Transfer()->total, kFile.size());

    Task<int> receiving;
    session.Retrieve("in/a.dat", *files.CreateForWriting("copy"), receiving);
    ASSERT_TRUE(receiving.Transfer().has_value());
    EXPECT_EQ(receiving.Transfer()->done, kFile.size());
    EXPECT_EQ(receiving.Transfer()->total, 0u) << "a download's size is not known beforehand";
}

TEST(FtpSessionTest, QuitSaysGoodbyeOnlyToASessionThatLoggedIn)
{
    auto loggedIn = std::make_shared<ScriptedTransport>(Join({kPlainLogin, {{"QUIT", "221 Goodbye.\r\n"}}}));
    FtpSession session(loggedIn, kScriptAccount, FtpTls::None);
    session.LogIn();
    EXPECT_TRUE(session.Usable());
    session.Quit();
    EXPECT_FALSE(session.Usable());
    EXPECT_EQ(loggedIn->Seen().unplayed, std::vector<std::string>{});
    loggedIn->AwaitControlClosed();

    auto refused =
        std::make_shared<ScriptedTransport>(Join({kGreeting, {{"USER kestrane", "530 Not allowed.\r\n"}}}));
    FtpSession refusedSession(refused, kScriptAccount, FtpTls::None);
    EXPECT_THROW(refusedSession.LogIn(), FtpError);
    refusedSession.Quit();
    EXPECT_EQ(refused->Seen().mismatch, "") << "a goodbye after the refusal";
    refused->AwaitControlClosed();
}

}  // namespace
}  // namespace kestrane
