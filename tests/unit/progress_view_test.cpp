#include "app/progress_view.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace kestrane {
namespace {

constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
constexpr int kFull = kProgressRange;

struct MeasureCase {
    const char* name;
    Progress progress;
    ProgressView expected;
};

const MeasureCase kMeasures[] = {
    {"total unknown", {0, 0}, {ProgressMode::Busy, 0}},
    {"bytes of an unknown total", {4096, 0}, {ProgressMode::Busy, 0}},
    {"not started", {0, 10'000}, {ProgressMode::Measured, 0}},
    {"a third, rounded down", {1, 3}, {ProgressMode::Measured, 333}},
    {"half", {5'000, 10'000}, {ProgressMode::Measured, 500}},
    {"all", {10'000, 10'000}, {ProgressMode::Measured, kFull}},
    {"more than the total", {10'001, 10'000}, {ProgressMode::Measured, kFull}},
    {"all of the largest total", {kMost, kMost}, {ProgressMode::Measured, kFull}},
    {"half of the largest total, to a thousandth", {kMost / 2, kMost}, {ProgressMode::Measured, 500}},
};

TEST(ProgressViewTest, AStepsReportPlacesTheBarOrShowsItBusy)
{
    for (const MeasureCase& c : kMeasures) {
        SCOPED_TRACE(c.name);
        const ProgressView view = MeasuredView(c.progress);
        EXPECT_EQ(view.mode, c.expected.mode);
        EXPECT_EQ(view.position, c.expected.position);
    }
}

struct MessageCase {
    const char* name;
    ProgressView before;
    MessageKind kind;
    ProgressView expected;
};

const MessageCase kMessages[] = {
    {"done", {ProgressMode::Busy, 0}, MessageKind::Information, {ProgressMode::Finished, kFull}},
    {"a warning", {ProgressMode::Measured, 420}, MessageKind::Warning, {ProgressMode::Warned, kFull}},
    {"an error part way", {ProgressMode::Measured, 420}, MessageKind::Error, {ProgressMode::Failed, 420}},
    {"an error while busy", {ProgressMode::Busy, 0}, MessageKind::Error, {ProgressMode::Failed, kFull}},
};

TEST(ProgressViewTest, AMessageStopsTheBarInItsKindsState)
{
    for (const MessageCase& c : kMessages) {
        SCOPED_TRACE(c.name);
        const ProgressView view = MessageView(c.before, c.kind);
        EXPECT_EQ(view.mode, c.expected.mode);
        EXPECT_EQ(view.position, c.expected.position);
    }
}

struct RedrawCase {
    const char* name;
    std::optional<ProgressView> shown;
    ProgressView next;
    SteadyClock::duration sinceShown;
    bool shows;
};

constexpr auto kSoon = kProgressRedrawInterval - std::chrono::milliseconds(1);

const RedrawCase kRedraws[] = {
    {"the first view", std::nullopt, {ProgressMode::Measured, 0}, {}, true},
    {"a move soon after the last",
     {{ProgressMode::Measured, 400}},
     {ProgressMode::Measured, 404},
     kSoon,
     false},
    {"a move once the bar has stood",
     {{ProgressMode::Measured, 400}},
     {ProgressMode::Measured, 404},
     kProgressRedrawInterval,
     true},
    {"the same view, late",
     {{ProgressMode::Measured, 400}},
     {ProgressMode::Measured, 400},
     std::chrono::hours(1),
     false},
    {"a full bar, however soon", {{ProgressMode::Measured, 996}}, {ProgressMode::Measured, kFull}, {}, true},
    {"a step that starts measuring", {{ProgressMode::Busy, 0}}, {ProgressMode::Measured, 0}, {}, true},
    {"a step that stops measuring", {{ProgressMode::Measured, 400}}, {ProgressMode::Busy, 0}, {}, true},
};

TEST(ProgressViewTest, AMovingBarIsRedrawnAtMostOnceAnIntervalButEveryChangeOfModeAndTheEndShowAtOnce)
{
    for (const RedrawCase& c : kRedraws) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WorthShowing(c.shown, c.next, c.sinceShown), c.shows);
    }
}

}  // namespace
}  // namespace kestrane
