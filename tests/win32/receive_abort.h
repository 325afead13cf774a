// What a receive waiting on another thread meets when the connection is
// abandoned, for the tests of each connection layer.
#pragma once

#include "net/tcp_connection_win32.h"
#include "net/transport_error.h"

#include <chrono>
#include <optional>
#include <thread>

namespace kestrane::win32 {

// Receives on a thread of its own, from a server that sends nothing, and
// aborts it from this one: whether the receive is already waiting or not
// yet, it must end at once. The kind of failure it threw, if any.
template <typename Connection> std::optional<TransportFailure> AbortAWaitingReceive(Connection& connection)
{
    const TcpConnection::Aborter aborter = connection.MakeAborter();
    std::optional<TransportFailure> failure;
    std::thread waiting([&] {
        char buffer[16];
        try {
            connection.Receive(buffer, sizeof buffer, std::chrono::seconds(60));
        } catch (const TransportError& error) {
            failure = error.Kind();
        }
    });
    aborter.Abort();
    waiting.join();
    return failure;
}

}  // namespace kestrane::win32
