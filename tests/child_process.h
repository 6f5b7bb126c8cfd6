// Child processes for end-to-end tests: started with their output in a file,
// waited for by content rather than by sleeping, and never left behind.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace rawcan::testing {

inline std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A scratch directory removed with its files when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/rawcan-test-XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  }
  ~ScratchDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (path_ != "/tmp") {
      [[maybe_unused]] const int ignored = std::system(command.c_str());
    }
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls `condition` until it holds; false if it still does not after `timeout`.
inline bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the poll interval
  }
  return true;
}

class Process {
 public:
  // Standard output goes to `output_path`, or to `stdout_fd` if one is given;
  // the error stream to output_path + ".err".
  Process(const std::vector<std::string>& argv, const std::string& output_path, int stdout_fd = -1)
      : output_path_(output_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (stdout_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const std::string error_path = output_path + ".err";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Whether the child still runs; one that has ended is reaped, so that its
  // status is kept and its pid never signalled again.
  bool running() {
    if (pid_ > 0 && !exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
    }
    return pid_ > 0 && !exited_;
  }
  pid_t pid() const { return pid_; }
  std::string output() const { return read_file(output_path_); }
  std::string errors() const { return read_file(output_path_ + ".err"); }

  // Waits until the output holds `text`; false on timeout or exit without it.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto holds = [&] { return output().find(text) != std::string::npos; };
    wait_until([&] { return holds() || !running(); }, timeout);
    return holds();
  }

  // Waits until the output holds at least `lines` lines; false on timeout.
  bool wait_for_lines(std::size_t lines, std::chrono::milliseconds timeout) {
    return wait_until([&] { return count_lines(output()) >= lines; }, timeout);
  }

  // Waits for the exit and returns the wait status, or -1 on timeout.
  int wait_exit(std::chrono::milliseconds timeout) {
    return wait_until([&] { return !running(); }, timeout) ? status_ : -1;
  }

  void signal(int signal_number) {
    if (running()) {
      kill(pid_, signal_number);
    }
  }

 private:
  std::string output_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// Starts `argv` with `extra` arguments after it, and waits until its output
// shows `ready` (a server saying it serves).
inline std::unique_ptr<Process> start_ready(std::vector<std::string> argv,
                                            const std::vector<std::string>& extra,
                                            const std::string& output_path,
                                            const std::string& ready) {
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto process = std::make_unique<Process>(argv, output_path);
  EXPECT_TRUE(process->wait_for_output(ready, std::chrono::milliseconds(5000)))
      << process->errors();
  return process;
}

inline bool exited_with(int status, int code) {
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}
inline bool killed_by(int status, int signal_number) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

}  // namespace rawcan::testing
