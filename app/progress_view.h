// What the window shows of the job's progress, on its progress bar and its
// taskbar button, worked out from what the job reports.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"

#include <chrono>
#include <optional>

namespace kestrane {

// The bar's positions run from 0 to this many: a step of 100 MB moves it
// every 100 KB.
inline constexpr int kProgressRange = 1000;

enum class ProgressMode {
    Busy,      // at work for a time no one knows: a marquee, an indeterminate taskbar button
    Measured,  // a step that knows how far it has got: the bar at its position
    Finished,  // the job is done: a full bar, and nothing on the taskbar button
    Warned,    // a warning waits for the user: a full bar, both paused (yellow)
    Failed,    // an error waits for the user: the bar where the work stopped, both red
};

struct ProgressView {
    ProgressMode mode = ProgressMode::Busy;
    int position = 0;  // of kProgressRange; 0 while Busy

    bool operator==(const ProgressView&) const = default;
};

// A step's report: where it has got, or Busy while it does not know its
// total. Bytes beyond the total (a file that grew) fill the bar, no more.
ProgressView MeasuredView(const Progress& progress);

// What shows while a message of this kind waits for the user, after before.
ProgressView MessageView(const ProgressView& before, MessageKind kind);

// How often a moving bar is redrawn at most: often enough to look smooth,
// and seldom enough that drawing never slows the step it shows. A bar moved
// on every 4 KB of a fast copy can cost more than the copy: under Wine each
// move takes about 3 ms, which made the pull of 1 MiB fifty times slower.
inline constexpr std::chrono::milliseconds kProgressRedrawInterval{50};

// Whether a step's report next goes on the window now, where shown has been
// on it for sinceShown: always a first view, a new mode and a full bar; a
// bar that moved, once it has stood for kProgressRedrawInterval.
bool WorthShowing(const std::optional<ProgressView>& shown, const ProgressView& next,
                  SteadyClock::duration sinceShown);

}  // namespace kestrane
