// Process runner: spawning /bin/true and capturing its (empty) output and error through the
// blocking form, against a bare posix_spawn + waitpid of the same program in the same run. The
// runner adds two pipes with readability handlers, a pidfd exit source and the hand-over to the
// caller; the target is at most 1.3 times the bare spawn.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SharedUtils/Process+Extension.h"

namespace {

void BM_BarePosixSpawnWaitpid(benchmark::State& state) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      return;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BarePosixSpawnWaitpid)->UseRealTime();

void BM_RunAndWaitUntilExitAndReturnOutput(benchmark::State& state) {
  for (auto _ : state) {
    auto task = platform::process::Task::make();
    task->setExecutable("/bin/true");
    std::string output = sharedutils::Process::runAndWaitUntilExitAndReturnOutput(task);
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_RunAndWaitUntilExitAndReturnOutput)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
