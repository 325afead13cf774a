// What the transfer job asks of the window it runs in.
#pragma once

#include <string>

namespace kestrane {

enum class MessageKind { Information, Warning, Error };

class JobWindow {
public:
    virtual ~JobWindow() = default;

    // Adds a line to the progress log and shows it at once.
    virtual void LogLine(const std::string& line) = 0;

    // Shows a message titled "Kestrane" and waits until the user closes it.
    virtual void ShowMessage(const std::string& text, MessageKind kind) = 0;

    // Handles the window's pending messages, waiting a short while (at most
    // a tenth of a second) for one to arrive, so that the window stays alive
    // while the job waits. Returns false once the user has asked to close
    // the window; the job should then stop as soon as nothing is lost.
    virtual bool PumpMessages() = 0;
};

}  // namespace kestrane
