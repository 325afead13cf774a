// The Windows layers' test program. It ends as Kestrane's programs end, and
// besides GoogleTest's cases it plays one such end on its own:
//
//   --leave-a-worker-behind PATH
//
// leaves behind a worker that, like one blocked in WinINet, wakes and
// throws once the program's exit has begun, after leaving the file PATH as
// the trace that it ran then. The program ends with kLeftBehindStatus.
#include "common/program_end_win32.h"
#include "common/win32_support.h"
#include "common/worker_task.h"
#include "ftp/ftp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr int kLeftBehindStatus = 7;

struct LeftBehind {
    kestrane::win32::UniqueKernelObject wake;
    std::shared_ptr<kestrane::Task<int>> task;
};
LeftBehind* g_leftBehind = nullptr;

// Run by exit(): the worker wakes, and the exit goes on once it has thrown.
void WakeTheWorkerLeftBehind()
{
    ::SetEvent(g_leftBehind->wake.Get());
    g_leftBehind->task->WaitFor(std::chrono::seconds(30));
}

int LeaveAWorkerBehind(const std::string& trace)
{
    static LeftBehind leftBehind{
        kestrane::win32::UniqueKernelObject(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        std::make_shared<kestrane::Task<int>>()};
    kestrane::win32::ThrowLastErrorIf(!leftBehind.wake, "CreateEventW");
    g_leftBehind = &leftBehind;
    kestrane::WorkerThread worker;
    worker.Start(leftBehind.task, [wake = leftBehind.wake.Get(), trace](kestrane::TaskState&) -> int {
        ::WaitForSingleObject(wake, INFINITE);
        const kestrane::win32::UniqueFile ran(::CreateFileA(trace.c_str(), GENERIC_WRITE, 0, nullptr,
                                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        throw kestrane::FtpError(kestrane::FtpFailureKind::Other, "the server answered as the program ended");
    });
    worker.Release(kestrane::SteadyClock::duration::zero());
    if (std::atexit(WakeTheWorkerLeftBehind) != 0) {
        throw std::runtime_error("atexit failed");
    }
    return kLeftBehindStatus;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--leave-a-worker-behind") {
        kestrane::win32::EndProgram(LeaveAWorkerBehind(argv[2]));
    }
    testing::InitGoogleTest(&argc, argv);
    kestrane::win32::EndProgram(RUN_ALL_TESTS());
}
