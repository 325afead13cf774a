// tests/e2e/ftp_server.py (pyftpdlib) as a process of its own, for native
// programs that talk to a real FTP server on this machine: the FTP client's
// socket tests and the benchmark of many locations at once. Whoever includes
// it defines KESTRANE_SOURCE_DIR, where the script is found.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrane::testing {

// Debian's interpreter, which has Debian's pyftpdlib.
inline constexpr char kFtpServerPython[] = "/usr/bin/python3";

// The server, started with the script's own options (--root, --user,
// --password and any others), on a free loopback port unless they name one,
// from its start until Stop() or the destructor.
class LocalFtpServer {
public:
    // errorLog: a file that receives the server's warnings and errors
    // (appended); empty: they go where this program's do.
    explicit LocalFtpServer(const std::vector<std::string>& options, const std::string& errorLog = {})
    {
        int output[2];
        if (::pipe(output) != 0) {
            return;
        }
        const std::string script = std::string(KESTRANE_SOURCE_DIR) + "/tests/e2e/ftp_server.py";
        std::vector<const char*> arguments{kFtpServerPython, script.c_str()};
        for (const std::string& option : options) {
            arguments.push_back(option.c_str());
        }
        arguments.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        bool started = ::posix_spawn_file_actions_init(&actions) == 0;
        if (started) {
            started = ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO) == 0
                      && ::posix_spawn_file_actions_addclose(&actions, output[0]) == 0
                      && (errorLog.empty()
                          || ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                                                O_WRONLY | O_CREAT | O_APPEND, 0644)
                                 == 0)
                      && ::posix_spawn(&pid_, kFtpServerPython, &actions, nullptr,
                                       const_cast<char**>(arguments.data()), environ)
                             == 0;
            ::posix_spawn_file_actions_destroy(&actions);
        }
        ::close(output[1]);
        if (!started) {
            pid_ = -1;
            ::close(output[0]);
            return;
        }
        // The server says "PORT n" once it listens; a server that cannot
        // start ends, and its output with it.
        FILE* said = ::fdopen(output[0], "r");
        if (said == nullptr) {
            ::close(output[0]);
            return;
        }
        char line[256];
        while (std::fgets(line, sizeof line, said) != nullptr) {
            unsigned port = 0;
            if (std::sscanf(line, "PORT %u", &port) == 1) {
                port_ = static_cast<std::uint16_t>(port);
                break;
            }
        }
        std::fclose(said);
    }
    LocalFtpServer(const LocalFtpServer&) = delete;
    LocalFtpServer& operator=(const LocalFtpServer&) = delete;
    ~LocalFtpServer() { Stop(); }

    // 0 when the server did not start.
    std::uint16_t Port() const { return port_; }

    // Ends the server (SIGTERM, on which it writes what it was asked to
    // write at its end) and waits for it. True when it ended cleanly by that.
    bool Stop()
    {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        const bool ended = ::kill(pid_, SIGTERM) == 0 && ::waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kestrane::testing
