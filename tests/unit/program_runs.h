// One start of the whole program over the in-memory fakes, and the world
// that outlives it: this PC's files, the handheld, the server and the clock.
#pragma once

#include "app/transfer_job.h"
#include "fakes.h"

#include <string>
#include <vector>

namespace kestrane::testing {

// Everything that outlives one run of the program.
struct World {
    World();

    CrashPlan plan;
    MemoryFiles files{&plan};
    FakeDevice device{&plan};
    FakeFtpServer server;
    FakeClock clock;
    FakeRandom random;
    LocationSettings settings;
};

enum class RunEnd { Completed, NoData, NotRun, Failed, Crashed };

struct RunResult {
    RunEnd end;
    std::vector<std::string> log;
    std::vector<FakeWindow::Message> messages;
    std::vector<std::string> records;     // the run log's
    std::vector<std::string> movingFrom;  // FakeWindow's
};

// One start of the program. A crash (SimulatedCrash) ends it with a power
// cut; the next start is a minute later.
RunResult RunProgram(World& world);

}  // namespace kestrane::testing
