// Starting another program and waiting for it.
#pragma once

#include <memory>
#include <string>

namespace lumora {

class Process {
 public:
  virtual ~Process() = default;
  // Waits at most timeout_ms for the process to end. True when it has ended or the wait
  // failed; false when it is still running.
  virtual bool WaitFor(int timeout_ms) = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts a command line (program and arguments split as Windows splits them), in a new
  // console with normal priority, inheriting environment and current directory. nullptr
  // when the program cannot be started.
  virtual std::unique_ptr<Process> Start(const std::string& command_line) = 0;
};

}  // namespace lumora
