#include "program_runs.h"

#include "common/job_error.h"
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

RunResult RunProgram(World& world)
{
    FakeWindow window(world.clock);
    FakeFtpClient client(world.server, world.files, window, world.clock, &world.plan);
    FakeRunLog runLog;
    const JobServices services{window, world.device, client, world.files, world.clock, world.random, runLog};
    RunEnd end = RunEnd::Failed;
    try {
        const JobOutcome outcome = RunTransfer(world.settings, services);
        end = outcome == JobOutcome::Completed ? RunEnd::Completed
              : outcome == JobOutcome::NoData  ? RunEnd::NoData
                                               : RunEnd::NotRun;
    } catch (const JobError& error) {
        window.messages.push_back({error.what(), MessageKind::Error});
    } catch (const SimulatedCrash&) {
        world.files.PowerCut();
        end = RunEnd::Crashed;
    }
    world.clock.Advance(std::chrono::minutes(1));  // the next start is a minute later
    for (const std::string& record : runLog.records) {
        EXPECT_EQ(record.find(world.settings.password), std::string::npos)
            << "the password leaked: " << record;
    }
    EXPECT_FALSE(window.moving) << "the window still holds up the end of the session";
    return {end, window.log, window.messages, runLog.records, window.movingFrom};
}

}  // namespace kestrane::testing
