// SPDX-License-Identifier: MIT
#include "harness.h"
#include "sanitized.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
      .count();
}

// Reads what is there; returns false at end of file.
bool drain(int fd, std::string &into, Running *lines_of) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      const double now = lines_of != nullptr ? since(lines_of->started) : 0.0;
      for (ssize_t i = 0; i < n; i++) {
        into.push_back(buf[i]);
        if (buf[i] == '\n' && lines_of != nullptr) {
          lines_of->line_times.push_back(now);
        }
      }
      continue;
    }
    if (n == 0) {
      return false;
    }
    return errno == EINTR || errno == EAGAIN;
  }
}

void close_fd(int &fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

// libfaketime keeps a semaphore and a shared-memory clock named after the
// process that loaded it first, and only removes them at a normal exit.
void remove_faketime_files(pid_t pid) {
  const std::string id = std::to_string(pid);
  unlink(("/dev/shm/faketime_shm_" + id).c_str());
  unlink(("/dev/shm/sem.faketime_sem_" + id).c_str());
}

// From here on, every new process or thread fails as if the system had run
// out of them: clone, clone3 and fork return EAGAIN. Only async-signal-safe
// calls, since it runs between fork and exec.
bool refuse_fork() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fork, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)),
                           filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void record_exit(Running &run, pid_t pid, int status) {
  if (pid == run.pid) {
    run.exited = true;
    run.status = status;
  }
  remove_faketime_files(pid);
}

} // namespace

std::string build_dir() { return BUILD_DIR; }

bool have_faketime() {
  static const bool found = access(FAKETIME_LIB, R_OK) == 0;
  return found;
}

// A sanitizer's runtime slows every thread's start; over twenty customers
// that would eat into the day's half-second margins at ten times the speed.
int clock_speed() {
  if (!have_faketime()) {
    return 1;
  }
  return SANITIZED ? 4 : 10;
}

Running start(const Launch &launch) {
  // Orphans of the program (child.out, once parent is killed) come back to
  // this process, so that stop() can reap them too.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  const std::string path = build_dir() + "/" + launch.program;
  const std::string cwd = launch.cwd.empty() ? build_dir() : launch.cwd;

  std::vector<std::string> args = launch.wrapper;
  args.push_back(path);
  std::vector<char *> argv;
  if (!launch.empty_argv) {
    for (auto &a : args) {
      argv.push_back(a.data());
    }
  }
  argv.push_back(nullptr);
  const std::string file = launch.wrapper.empty() ? path : launch.wrapper[0];

  std::vector<std::string> env;
  const bool fake =
      have_faketime() && (launch.fast_clock || !launch.clock.empty());
  std::string preload = launch.preload;
  if (fake) {
    preload += (preload.empty() ? "" : ":") + std::string(FAKETIME_LIB);
  }
  for (char **e = environ; *e != nullptr; e++) {
    const bool replaced = std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0 ||
                          std::strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
                          std::strncmp(*e, "FAKETIME=", 9) == 0;
    if (preload.empty() || !replaced) {
      env.emplace_back(*e);
    }
  }
  if (!preload.empty()) {
    std::string asan = "ASAN_OPTIONS=";
    if (const char *old = std::getenv("ASAN_OPTIONS")) {
      asan += std::string(old) + ":";
    }
    // A preloaded library comes before the ASan runtime, which ASan
    // otherwise refuses.
    env.push_back(asan + "verify_asan_link_order=0");
    env.push_back("LD_PRELOAD=" + preload);
  }
  if (fake) {
    env.emplace_back("FAKETIME=" + (launch.clock.empty()
                                        ? "+0 x" + std::to_string(clock_speed())
                                        : launch.clock));
  }
  std::vector<char *> envp;
  envp.reserve(env.size() + 1);
  for (auto &e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::abort();
  }

  Running run;
  run.started = std::chrono::steady_clock::now();
  run.pid = fork();
  if (run.pid < 0) {
    std::perror("fork");
    std::abort();
  }
  if (run.pid == 0) {
    // Only async-signal-safe calls between fork and exec. A program that
    // ran outside its group, its pipes or its limits would prove nothing:
    // each failure ends the child with a status of its own.
    if (setpgid(0, 0) != 0) {
      _exit(SETUP_GROUP);
    }
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out[1], 1) < 0 ||
        dup2(err[1], 2) < 0) {
      _exit(SETUP_PIPES);
    }
    if (chdir(cwd.c_str()) != 0) {
      _exit(SETUP_CWD);
    }
    if (launch.thread_room >= 0) {
      // A new thread's stack is as large as the stack limit. The program
      // itself loads and runs in 128 MiB; past that the address space holds
      // exactly thread_room stacks of 256 MiB.
      constexpr rlim_t STACK = 256UL << 20;
      const rlim_t room = static_cast<rlim_t>(launch.thread_room);
      const rlim_t cap = (128UL << 20) + room * STACK;
      const rlimit stack{STACK, STACK};
      const rlimit space{cap, cap};
      if (setrlimit(RLIMIT_STACK, &stack) != 0 ||
          setrlimit(RLIMIT_AS, &space) != 0) {
        _exit(SETUP_LIMITS);
      }
    }
    if (launch.refuse_fork && !refuse_fork()) {
      _exit(SETUP_FILTER);
    }
    execve(file.c_str(), argv.data(), envp.data());
    _exit(SETUP_EXEC);
  }
  setpgid(run.pid, run.pid);
  close(out[1]);
  close(err[1]);
  run.out_fd = out[0];
  run.err_fd = err[0];
  fcntl(run.out_fd, F_SETFL, O_NONBLOCK);
  fcntl(run.err_fd, F_SETFL, O_NONBLOCK);
  return run;
}

bool pump(Running &run, double seconds,
          const std::function<bool(const Running &)> &done) {
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    if (done && done(run)) {
      return true;
    }
    if (!run.exited) {
      int status = 0;
      if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
        record_exit(run, run.pid, status);
      }
    }
    if (run.exited && run.out_fd < 0 && run.err_fd < 0) {
      return false;
    }
    const double left = seconds - since(t0);
    if (left <= 0) {
      return false;
    }
    // Short polls, so that the end of the program is noticed while another
    // process (child.out) still holds the pipes open.
    const int wait_ms = static_cast<int>(std::min(left * 1000.0, 20.0)) + 1;
    pollfd fds[2] = {{run.out_fd, POLLIN, 0}, {run.err_fd, POLLIN, 0}};
    if (poll(fds, 2, wait_ms) > 0) {
      if (run.out_fd >= 0 && fds[0].revents != 0 &&
          !drain(run.out_fd, run.out, &run)) {
        close_fd(run.out_fd);
      }
      if (run.err_fd >= 0 && fds[1].revents != 0 &&
          !drain(run.err_fd, run.err, nullptr)) {
        close_fd(run.err_fd);
      }
    }
  }
}

void stop(Running &run, double grace) {
  if (run.pid <= 0) {
    return;
  }
  kill(-run.pid, SIGINT);
  pump(run, grace, [](const Running &r) { return r.exited; });
  kill(-run.pid, SIGKILL);
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-run.pid, &status, 0);
    if (pid > 0) {
      record_exit(run, pid, status);
    } else if (errno != EINTR) {
      break;
    }
  }
  // Every writer is gone now: read to the end of both pipes.
  fcntl(run.out_fd, F_SETFL, 0);
  fcntl(run.err_fd, F_SETFL, 0);
  while (run.out_fd >= 0 && drain(run.out_fd, run.out, &run)) {
  }
  while (run.err_fd >= 0 && drain(run.err_fd, run.err, nullptr)) {
  }
  close_fd(run.out_fd);
  close_fd(run.err_fd);
  run.pid = -1;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::string::size_type from = 0;
  for (;;) {
    const auto end = text.find('\n', from);
    if (end == std::string::npos) {
      break;
    }
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}
