// What the transfer job asks of the window it runs in.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrane {

enum class MessageKind { Information, Warning, Error };

// How far a long step has got, in bytes: done of total, with total 0 when
// the step cannot know it.
struct Progress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

// The one way that the user's close of the window reaches the code that
// waits or works on the window's thread: whatever it was doing is given up
// where nothing is lost. A step that knows where the handheld's data is then
// says so in its error; a wait that touched nothing, such as the wait for the
// handheld, lets it through.
class WindowClosed : public std::runtime_error {
public:
    WindowClosed() : std::runtime_error("the window was closed") {}
};

// Keeps the window answering while the thread that owns it waits or works.
// Whatever waits on that thread is handed this, and nothing else.
class MessagePump {
public:
    virtual ~MessagePump() = default;

    // For a caller that waits: handles the window's pending messages,
    // waiting a short while (at most a tenth of a second) for one to arrive.
    // Throws WindowClosed once the user has asked to close the window.
    virtual void PumpMessages() = 0;

    // For a long step, between two pieces of its work, as often as it likes:
    // the window handles its pending messages whenever that is due, without
    // waiting, and may show how far the step has got. Throws WindowClosed
    // once the user has asked to close the window.
    virtual void ReportProgress(const Progress& progress) = 0;

    // From any thread: ends a wait of PumpMessages under way, or the next
    // one, at once, as a message would. A worker's task calls it when it is
    // done, so that the thread waiting for it goes on at once instead of at
    // the end of that wait. A pump that waits only briefly may leave it be.
    virtual void Wake() noexcept {}
};

class JobWindow : public MessagePump {
public:
    // Adds a line to the progress log and shows it at once.
    virtual void LogLine(const std::string& line) = 0;

    // Shows a message titled "Kestrane" and waits until the user closes it.
    virtual void ShowMessage(const std::string& text, MessageKind kind) = 0;

    // Says that the job has begun (true) or ended (false) a step that moves
    // the handheld's data: the pull, the build and the sending, or the done
    // marker. Meanwhile the window asks Windows not to end the session; at
    // any other moment, such as the wait for the handheld, it lets it end.
    // Never throws.
    virtual void MovingData(bool moving) noexcept = 0;
};

// Tells the window that the handheld's data is moving, from Begin until End
// or until it goes out of scope.
class DataInMotion {
public:
    explicit DataInMotion(JobWindow& window) : window_(window) {}
    DataInMotion(const DataInMotion&) = delete;
    DataInMotion& operator=(const DataInMotion&) = delete;
    ~DataInMotion() { End(); }

    void Begin() noexcept
    {
        if (!moving_) {
            moving_ = true;
            window_.MovingData(true);
        }
    }
    void End() noexcept
    {
        if (moving_) {
            moving_ = false;
            window_.MovingData(false);
        }
    }

private:
    JobWindow& window_;
    bool moving_ = false;
};

}  // namespace kestrane
