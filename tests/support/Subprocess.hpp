#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zembrel::test {

// Where a child's standard output or error goes.
enum class Output {
  capture,  // into the run's text (Subprocess: readable through a pipe)
  inherit,  // the test's own stream
  discard,  // /dev/null
};

struct ChildOptions {
  std::map<std::string, std::string> environment;  // overrides the test's variables
  std::vector<std::string> launcher;               // put before the program, e.g. setpriv
  std::filesystem::path workingFolder;             // empty: the test's own
  // Standard input: these bytes, then its end; absent: /dev/null.
  std::optional<std::string> input;
  Output out = Output::capture;
  Output err = Output::inherit;
  // Called with the child's PID about every `sampleEvery` while it runs (for
  // measuring what it and its descendants use); empty: never.
  std::function<void(pid_t)> whileRunning;
  std::chrono::milliseconds sampleEvery{10};
};

// What a finished run printed and how it ended.
struct ProgramRun {
  int status = -1;  // exit status; -1 when it did not exit normally or was killed
  std::string out;
  std::string err;
  double seconds = 0;        // wall time from start to exit
  long peakResidentKiB = 0;  // the largest of the program and the children it waited for
  bool timedOut = false;     // killed at the deadline
};

// The one way the tests start another program: argv[0] is a path or a name
// looked up in PATH, the arguments are passed as they are (no shell). Throws
// when the program cannot be started. A child still running when the object
// goes is killed by its PID and reaped.
class Subprocess {
 public:
  explicit Subprocess(std::vector<std::string> argv, const ChildOptions& options = {});
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  ~Subprocess();

  pid_t pid() const { return pid_; }
  // One line of captured standard output, without its "\n"; what came before
  // the end when the child closed it first.
  std::string readLine();
  // Collects both captured streams until they close or the deadline passes
  // (then the child is killed), and reaps the child.
  ProgramRun finish(std::chrono::milliseconds deadline);
  // SIGTERM, then SIGKILL when it has not ended after `grace`; reaps it.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // SIGKILL at once; reaps it.
  void kill();
  // Stops reading its output: later writes of the child fail as on a closed pipe.
  void closeOutput();

 private:

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::chrono::steady_clock::time_point started_;
  std::function<void(pid_t)> whileRunning_;
  std::chrono::milliseconds sampleEvery_{10};
};

// Starts the program and waits for its end: Subprocess(...).finish(deadline).
ProgramRun runProgram(const std::vector<std::string>& argv, const ChildOptions& options = {},
                      std::chrono::milliseconds deadline = std::chrono::seconds(120));

// `program` followed by the arguments, standard input fed from `input`,
// standard output captured, standard error inherited: runProgram's usual case.
ProgramRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input = "",
                      std::chrono::milliseconds deadline = std::chrono::seconds(60));

}  // namespace zembrel::test
