// Running a helper program to its end and taking what it printed: the cluster tools a job's
// supervisor asks (sbatch, squeue, scontrol, sacct, scancel). The program gets the given text
// on its standard input, its standard output and error are collected (each up to a cap), and
// it is killed, with its process group, when it outlives its time. Safe from any thread; the
// caller's signal handlers are left alone (an interrupted wait is resumed).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ZelcorCorelib::platform {

struct CommandOutcome {
  // errno of a program that could not be started (then nothing else is set).
  int startError = 0;
  bool timedOut = false;
  // The exit status, or 128 + N for a program ended by signal N; -1 when not known.
  std::int32_t exitCode = -1;
  std::string output;
  std::string errors;

  bool succeeded() const { return startError == 0 && !timedOut && exitCode == 0; }
};

// Each of output and errors keeps at most this much; the rest is read and dropped.
inline constexpr std::size_t kCommandOutputCap = 1u << 20;

// program: a path, or a bare name searched on PATH.
CommandOutcome runCommand(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& input, std::chrono::milliseconds timeout);

}  // namespace ZelcorCorelib::platform
