// A transport whose server plays a script: the command lines the client
// must send, in order, and what the server answers to each, on the control
// connection and on the data connection that a command uses. It answers on
// the thread the client works on, at once; only a command that the script
// marks as hanging keeps the client waiting, until the transport is aborted.
// A command off the script fails the connection and is kept for the test.
#pragma once

#include "ftp/ftp_client.h"
#include "net/byte_stream.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace kestrane::testing {

// In a script, where the client starts TLS on the control connection.
inline constexpr char kStartTls[] = "<start TLS>";

struct Exchange {
    // The line the client sends, without its line end; kStartTls; or "" for
    // what the server sends unasked, such as its greeting.
    std::string command;
    // What the server then sends on the control connection, line ends and all.
    std::string reply = {};
    // What it sends on the data connection that the command uses.
    std::string data = {};
    // What it sends on the control connection once the client has closed
    // that data connection, or once it broke off.
    std::string afterData = {};
    // The server never answers the command (or, for "", never says it).
    bool hang = false;
};

// The parts of a script, one after the other.
std::vector<Exchange> Join(std::initializer_list<std::vector<Exchange>> parts);

// A command that moves data: 150, the data, and then end.
Exchange DataCommand(const std::string& command, const std::string& data = {},
                     const std::string& end = "226 Transfer complete.\r\n");

// The account the scripts log in with; a distinctive password, so that a
// leak into any text is found.
inline constexpr char kScriptPassword[] = "Pw#9zQ!k2v";
inline const FtpAccount kScriptAccount{{"ftp.example.com", 21}, "kestrane", kScriptPassword};

// A session's everyday exchanges, in pyftpdlib's words.
inline const std::vector<Exchange> kGreeting = {{"", "220 Kestrane test server ready.\r\n"}};
inline const std::vector<Exchange> kCredentials = {
    {"USER kestrane", "331 Username ok, send password.\r\n"},
    {std::string("PASS ") + kScriptPassword, "230 Login successful.\r\n"},
};
inline const std::vector<Exchange> kPlainLogin = Join({kGreeting, kCredentials});
inline const std::vector<Exchange> kProtection = {
    {"PBSZ 0", "200 PBSZ=0 successful.\r\n"},
    {"PROT P", "200 Protection set to Private\r\n"},
};
inline const std::vector<Exchange> kTlsLogin =
    Join({kGreeting, {{"AUTH TLS", "234 AUTH TLS successful.\r\n"}, {kStartTls}}, kCredentials, kProtection});
inline const std::vector<Exchange> kBinaryType = {{"TYPE I", "200 Type set to: Binary.\r\n"}};
inline const std::vector<Exchange> kExtendedPassive = {
    {"EPSV", "229 Entering extended passive mode (|||50001|).\r\n"}};
inline const std::vector<Exchange> kGoodbye = {{"QUIT", "221 Goodbye.\r\n"}};

class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(std::vector<Exchange> script);

    // Set before the client starts:
    // the most bytes one receive hands over (1 splits every reply);
    std::size_t readSize = 4096;
    // a data connection breaks off once the client has sent this many bytes on it;
    std::size_t dataBreaksAfter = SIZE_MAX;
    // the control connection's server address;
    std::string peerAddress = "203.0.113.7";
    // every TLS start fails, as with a server whose certificate is not trusted.
    bool tlsFails = false;

    // What the client did, as the server saw it.
    struct Record {
        std::string mismatch;                      // the first line off the script, or ""
        std::vector<std::string> unplayed;         // the commands still to come
        std::vector<std::string> sent;             // every command line
        std::vector<std::string> dataConnections;  // "address:port" of each
        std::vector<std::string> uploads;          // the bytes sent on each data connection
        std::vector<std::string> dataTls;          // the name each data connection's TLS was for
        bool aborted = false;
        bool hanging = false;  // the client sent a command that the server never answers
    };
    Record Seen() const;
    // Returns once the client has closed the control connection.
    void AwaitControlClosed() const;

    std::unique_ptr<ByteStream> Connect(const std::string& host, std::uint16_t port) override;
    void Abort() noexcept override;

    struct Server;

private:
    std::shared_ptr<Server> server_;
};

}  // namespace kestrane::testing
