#include "run_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "error.h"

namespace mkinstaller {

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& working_folder,
                         bool with_stderr, const OutputWatcher& watch) {
  ProcessResult result;
  int pipe_fds[2];
  if (argv.empty() || pipe(pipe_fds) != 0) return result;
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return result;
  }
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(with_stderr || null_fd < 0 ? pipe_fds[1] : null_fd, STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    if (!working_folder.empty() && chdir(working_folder.c_str()) != 0) _exit(126);
    execvp(args[0], args.data());
    const std::string message = "cannot start " + argv[0] + ": " + std::strerror(errno) + "\n";
    (void)!write(STDOUT_FILENO, message.data(), message.size());
    _exit(127);
  }
  close(pipe_fds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
    if (n > 0) {
      result.output.append(buffer, static_cast<size_t>(n));
      if (watch) watch(std::string(buffer, static_cast<size_t>(n)));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (result.exit_code == 127 && result.output.rfind("cannot start ", 0) == 0) result.exit_code = -1;
  return result;
}

std::string RunChecked(const std::vector<std::string>& argv, const std::string& what,
                       const std::string& working_folder, const OutputWatcher& watch) {
  const ProcessResult result = RunProcess(argv, working_folder, true, watch);
  if (result.exit_code != 0) {
    std::string command;
    for (const auto& arg : argv) command += (command.empty() ? "" : " ") + arg;
    throw Error(what + " failed (" + command + ", exit code " + std::to_string(result.exit_code) +
                "):\n" + result.output);
  }
  return result.output;
}

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mkinstaller-XXXXXX";
  if (!mkdtemp(&pattern[0])) throw Error("cannot create a temporary folder: " + std::string(std::strerror(errno)));
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace mkinstaller
