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

// When the user closes the window during a run, counted as FakeWindow
// counts pumps and progress reports; 0 is never.
struct WindowCloses {
    int atPump = 0;
    std::size_t atProgress = 0;
};

// One start of the program: the job, reported as the program reports it
// (app/run_report.h). A crash (SimulatedCrash) ends it with a power cut; the
// next start is a minute later. Checks that no output of the run shows the
// password.
RunResult RunProgram(World& world, WindowCloses closes = {});

}  // namespace kestrane::testing
