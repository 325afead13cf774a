#include "app/progress_view.h"

#include <algorithm>
#include <limits>

namespace kestrane {

ProgressView MeasuredView(const Progress& progress)
{
    if (progress.total == 0) {
        return {ProgressMode::Busy, 0};
    }
    const std::uint64_t done = std::min(progress.done, progress.total);
    constexpr auto kRange = static_cast<std::uint64_t>(kProgressRange);
    // done * kRange stays in range but for totals of more than 18 million
    // terabytes; those are divided first, a thousandth at a time.
    const std::uint64_t position = progress.total <= std::numeric_limits<std::uint64_t>::max() / kRange
                                       ? done * kRange / progress.total
                                       : std::min(done / (progress.total / kRange), kRange);
    return {ProgressMode::Measured, static_cast<int>(position)};
}

ProgressView MessageView(const ProgressView& before, MessageKind kind)
{
    switch (kind) {
    case MessageKind::Information:
        return {ProgressMode::Finished, kProgressRange};
    case MessageKind::Warning:
        return {ProgressMode::Warned, kProgressRange};
    case MessageKind::Error:
        break;
    }
    // Work that never said how far it had got failed with the whole bar.
    return {ProgressMode::Failed, before.mode == ProgressMode::Busy ? kProgressRange : before.position};
}

bool WorthShowing(const std::optional<ProgressView>& shown, const ProgressView& next,
                  SteadyClock::duration sinceShown)
{
    if (!shown || shown->mode != next.mode || next.position == kProgressRange) {
        return shown != next;
    }
    return next.position != shown->position && sinceShown >= kProgressRedrawInterval;
}

}  // namespace kestrane
