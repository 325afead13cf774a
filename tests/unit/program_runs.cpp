#include "program_runs.h"

#include "app/run_report.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

namespace kestrane::testing {

World::World()
{
    settings.locationCode = "0042";
    settings.host = "ftp.example.com";
    settings.user = "user";
    settings.password = "secret";
    settings.remoteFolder = "in/";
    files.contents[kLocalDoneFile] = "done";
}

namespace {

RunEnd EndOf(int exitStatus)
{
    switch (exitStatus) {
    case kExitCompleted:
        return RunEnd::Completed;
    case kExitNoData:
        return RunEnd::NoData;
    case kExitNotRun:
        return RunEnd::NotRun;
    default:
        return RunEnd::Failed;
    }
}

}  // namespace

RunResult RunProgram(World& world, WindowCloses closes)
{
    FakeWindow window(world.clock);
    window.closeAtPump = closes.atPump;
    window.closeAtProgress = closes.atProgress;
    FakeFtpClient client(world.server, world.files, window, world.clock, &world.plan);
    FakeRunLog runLog;
    const JobServices services{window, world.device, client, world.files, world.clock, world.random, runLog};
    RunEnd end = RunEnd::Failed;
    try {
        end = EndOf(RunAndReport(window, std::string(kDataFolder) + "\\kestrane.log",
                                 [&] { return RunTransfer(world.settings, services); }));
    } catch (const SimulatedCrash&) {
        world.files.PowerCut();
        end = RunEnd::Crashed;
    }
    world.clock.Advance(std::chrono::minutes(1));  // the next start is a minute later
    std::vector<std::string> shown = runLog.records;
    shown.insert(shown.end(), window.log.begin(), window.log.end());
    for (const FakeWindow::Message& message : window.messages) {
        shown.push_back(message.text);
    }
    for (const std::string& text : shown) {
        EXPECT_EQ(text.find(world.settings.password), std::string::npos) << "the password leaked: " << text;
    }
    EXPECT_FALSE(window.moving) << "the window still holds up the end of the session";
    return {end, window.log, window.messages, runLog.records, window.movingFrom};
}

}  // namespace kestrane::testing
