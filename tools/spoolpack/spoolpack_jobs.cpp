// SPDX-License-Identifier: GPL-2.0-or-later
// The worker pool of --jobs: one task pipe and one result pipe per worker.
// The parent sends an entry's index (8 bytes); the worker answers with the
// index, the lengths of its captured standard output, standard error and
// result (8 bytes each) and those bytes.
#include "tools/spoolpack/spoolpack_jobs.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {


bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// What a worker delivered for one entry.
struct Delivery {
  std::string out;
  std::string err;
  std::string result;
};

// An anonymous file that takes the place of standard output or error while
// a worker works on one entry. Returns the bytes written to it.
std::string Captured(int fd) {
  std::string text;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size > 0) {
    text.resize(static_cast<size_t>(size));
    if (::pread(fd, text.data(), text.size(), 0) != size) text.clear();
  }
  ::close(fd);
  return text;
}

[[noreturn]] void WorkerLoop(int tasks, int results, const JobWork& work) {
  uint64_t index = 0;
  while (ReadAll(tasks, &index, sizeof index)) {
    const int out = ::memfd_create("spoolpack-out", MFD_CLOEXEC);
    const int err = ::memfd_create("spoolpack-err", MFD_CLOEXEC);
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(1);
    const std::string result = work(static_cast<size_t>(index));
    std::fflush(stdout);
    std::fflush(stderr);
    const Delivery d{Captured(out), Captured(err), result};
    const uint64_t header[4] = {index, d.out.size(), d.err.size(), d.result.size()};
    if (!WriteAll(results, header, sizeof header) || !WriteAll(results, d.out.data(), d.out.size()) ||
        !WriteAll(results, d.err.data(), d.err.size()) || !WriteAll(results, d.result.data(), d.result.size())) {
      ::_exit(1);
    }
  }
  ::_exit(0);
}

struct Worker {
  pid_t pid = -1;
  int tasks = -1;    // the parent's end
  int results = -1;  // the parent's end
  bool busy = false;
};

// The workers of one run; going away ends them: their task pipes close, so
// idle ones leave, and busy ones (a run that stopped) are killed.
struct Pool {
  std::vector<Worker> workers;
  ~Pool() {
    for (Worker& w : workers) {
      // A busy worker removes its files in progress as it ends.
      if (w.busy && w.pid > 0) ::kill(w.pid, SIGTERM);
      if (w.tasks >= 0) ::close(w.tasks);
      if (w.results >= 0) ::close(w.results);
    }
    for (Worker& w : workers) {
      if (w.pid > 0) {
        while (::waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
      }
    }
  }
};

bool Start(Pool& pool, int jobs, const JobWork& work, std::string* error) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = ::getpid();
  for (int n = 0; n < jobs; ++n) {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0) {
      *error = std::string("cannot start a worker: ") + std::strerror(errno);
      return false;
    }
    if (::pipe2(up, O_CLOEXEC) != 0) {
      *error = std::string("cannot start a worker: ") + std::strerror(errno);
      ::close(down[0]);
      ::close(down[1]);
      return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      // A worker does not outlive the run; SIGTERM lets it remove its
      // files in progress.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(1);
      for (const Worker& w : pool.workers) {
        ::close(w.tasks);
        ::close(w.results);
      }
      ::close(down[1]);
      ::close(up[0]);
      WorkerLoop(down[0], up[1], work);
    }
    ::close(down[0]);
    ::close(up[1]);
    if (pid < 0) {
      *error = std::string("cannot start a worker: ") + std::strerror(errno);
      ::close(down[1]);
      ::close(up[0]);
      return false;
    }
    pool.workers.push_back(Worker{pid, down[1], up[0], false});
  }
  return true;
}

bool Receive(Worker& worker, std::map<size_t, Delivery>& done) {
  uint64_t header[4];
  if (!ReadAll(worker.results, header, sizeof header)) return false;
  // The lengths come from our own worker; a single message is still kept
  // within what one entry's messages and result can need.
  constexpr uint64_t kMostBytes = uint64_t{64} << 20;
  if (header[1] > kMostBytes || header[2] > kMostBytes || header[3] > kMostBytes) return false;
  Delivery d;
  d.out.resize(header[1]);
  d.err.resize(header[2]);
  d.result.resize(header[3]);
  if (!ReadAll(worker.results, d.out.data(), d.out.size()) || !ReadAll(worker.results, d.err.data(), d.err.size()) ||
      !ReadAll(worker.results, d.result.data(), d.result.size())) {
    return false;
  }
  worker.busy = false;
  done[static_cast<size_t>(header[0])] = std::move(d);
  return true;
}

}  // namespace

int DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n < 1 ? 1 : n > kMaxJobs ? kMaxJobs : n;
}

bool RunJobs(size_t count, int jobs, const JobWork& work, const JobCommit& commit, std::string* error,
             const JobMayStart& mayStart) {
  if (count == 0) return true;
  // A worker that ends makes writing to it fail, not end this process.
  struct IgnoreBrokenPipes {
    struct sigaction old {};
    IgnoreBrokenPipes() {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      ::sigaction(SIGPIPE, &ignore, &old);
    }
    ~IgnoreBrokenPipes() { ::sigaction(SIGPIPE, &old, nullptr); }
  } ignoreBrokenPipes;
  Pool pool;
  if (!Start(pool, static_cast<int>(std::min<size_t>(static_cast<size_t>(jobs), count)), work, error)) return false;
  const size_t window = 2 * pool.workers.size();
  std::map<size_t, Delivery> done;
  size_t sent = 0;
  size_t taken = 0;
  while (taken < count) {
    for (auto it = done.find(taken); it != done.end(); it = done.find(taken)) {
      std::fflush(stdout);
      std::fflush(stderr);
      (void)WriteAll(STDOUT_FILENO, it->second.out.data(), it->second.out.size());
      (void)WriteAll(STDERR_FILENO, it->second.err.data(), it->second.err.size());
      const bool goOn = commit(taken, it->second.result);
      done.erase(it);
      ++taken;
      if (!goOn) return true;
    }
    if (taken == count) break;
    for (Worker& w : pool.workers) {
      if (w.busy || sent >= count || sent >= taken + window) continue;
      if (mayStart && sent > taken && !mayStart(sent, taken)) break;
      const uint64_t index = sent;
      if (!WriteAll(w.tasks, &index, sizeof index)) {
        *error = "a worker ended before its entry";
        return false;
      }
      w.busy = true;
      ++sent;
    }
    std::vector<pollfd> waiting;
    std::vector<Worker*> owners;
    for (Worker& w : pool.workers) {
      if (!w.busy) continue;
      waiting.push_back(pollfd{w.results, POLLIN, 0});
      owners.push_back(&w);
    }
    if (waiting.empty()) {
      *error = "no worker has an entry to deliver";
      return false;
    }
    if (::poll(waiting.data(), waiting.size(), -1) < 0) {
      if (errno == EINTR) continue;
      *error = std::string("cannot wait for the workers: ") + std::strerror(errno);
      return false;
    }
    for (size_t k = 0; k < waiting.size(); ++k) {
      if (waiting[k].revents == 0) continue;
      if (!Receive(*owners[k], done)) {
        *error = "a worker ended before delivering its entry";
        return false;
      }
    }
  }
  return true;
}
