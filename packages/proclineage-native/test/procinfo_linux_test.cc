// The Linux process-information stand-in against real processes: the
// answers and errors that the add-on relies on, for every identifier
// source this kernel offers.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform_procinfo.h"
#include "procinfo_testing.h"

namespace {

using procinfo_linux::IdentifierSource;

// A child that runs `before` (if any), then sleeps until killed; reaped by
// the destructor.
struct SleepingChild {
  pid_t pid = -1;
  explicit SleepingChild(const std::function<void()>& before = {}) {
    pid = fork();
    if (pid == 0) {
      if (before) before();
      pause();
      _exit(0);
    }
  }
  ~SleepingChild() { Stop(); }
  void Stop() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
};

bool BsdInfo(int pid, proc_bsdinfo* info) {
  memset(info, 0, sizeof *info);
  errno = 0;
  return proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, info, sizeof *info) == sizeof *info;
}

bool UniqueInfo(int pid, proc_uniqidentifierinfo* info) {
  memset(info, 0, sizeof *info);
  errno = 0;
  return proc_pidinfo(pid, PROC_PIDUNIQIDENTIFIERINFO, 0, info, sizeof *info) == sizeof *info;
}

// A pid number that no process holds right now.
int UnusedPid() {
  for (int pid = 4000000; pid > 300; pid -= 7919) {
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      return pid;
    }
  }
  return -1;
}

std::vector<IdentifierSource> UsableSources() {
  std::vector<IdentifierSource> sources;
  procinfo_linux::ForceIdentifierSource(-1);
  const IdentifierSource active = procinfo_linux::ActiveIdentifierSource();
  if (active == IdentifierSource::kPidfsInfo) {
    sources.push_back(IdentifierSource::kPidfsInfo);
  }
  if (active != IdentifierSource::kStartTime) {
    sources.push_back(IdentifierSource::kPidfsProc);
  }
  sources.push_back(IdentifierSource::kStartTime);
  return sources;
}

class EverySource : public ::testing::Test {
 protected:
  void TearDown() override { procinfo_linux::ForceIdentifierSource(-1); }
};

TEST_F(EverySource, ChildIdentifiersLinkToParentAndDifferBetweenProcesses) {
  for (IdentifierSource source : UsableSources()) {
    SCOPED_TRACE(static_cast<int>(source));
    procinfo_linux::ForceIdentifierSource(static_cast<int>(source));
    SleepingChild first;
    SleepingChild second;
    proc_uniqidentifierinfo self, one, two, again;
    ASSERT_TRUE(UniqueInfo(getpid(), &self));
    ASSERT_TRUE(UniqueInfo(first.pid, &one));
    ASSERT_TRUE(UniqueInfo(second.pid, &two));
    ASSERT_TRUE(UniqueInfo(first.pid, &again));
    EXPECT_NE(self.p_uniqueid, 0u);
    EXPECT_EQ(one.p_puniqueid, self.p_uniqueid);
    EXPECT_EQ(two.p_puniqueid, self.p_uniqueid);
    EXPECT_NE(one.p_uniqueid, two.p_uniqueid);
    EXPECT_NE(one.p_uniqueid, self.p_uniqueid);
    EXPECT_EQ(again.p_uniqueid, one.p_uniqueid);
    if (source != IdentifierSource::kStartTime) {
      // What the parent check rests on: pidfs numbers processes in the
      // order they are created, so a real parent's is the smaller.
      EXPECT_LT(self.p_uniqueid, one.p_uniqueid);
      EXPECT_LT(one.p_uniqueid, two.p_uniqueid);
    }

    proc_bsdinfo bsd;
    ASSERT_TRUE(BsdInfo(first.pid, &bsd));
    EXPECT_EQ(bsd.pbi_pid, static_cast<uint32_t>(first.pid));
    EXPECT_EQ(bsd.pbi_ppid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(bsd.pbi_pgid, static_cast<uint32_t>(getpgrp()));
    EXPECT_EQ(bsd.pbi_uid, geteuid());

    const int reaped = first.pid;
    first.Stop();
    EXPECT_FALSE(UniqueInfo(reaped, &again));
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(BsdInfo(reaped, &bsd));
    EXPECT_EQ(errno, ESRCH);
  }
}

// The main-thread state and thread count of `pid` from its stat.
bool MainThreadState(int pid, char* state, int* threads) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  char text[1024] = {0};
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  const char* after = strrchr(text, ')');
  if (!read || after == nullptr) return false;
  *state = after[2];
  // Field 3 is the state; field 20, num_threads.
  const char* position = after + 2;
  for (int number = 3; number < 20 && position != nullptr; ++number) {
    position = strchr(position, ' ');
    if (position != nullptr) ++position;
  }
  *threads = position == nullptr ? 0 : atoi(position);
  return true;
}

// Waits until the main thread of `pid` is a zombie with `threads` threads.
bool AwaitZombieMainThread(int pid, int threads) {
  for (int i = 0; i < 500; ++i) {
    char state = 0;
    int seen = 0;
    if (MainThreadState(pid, &state, &seen) && state == 'Z' && seen == threads) return true;
    usleep(2000);
  }
  return false;
}

TEST_F(EverySource, AZombieHasNoIdentifiersButAProcessWithoutItsMainThreadHas) {
  // A zombie: exited, not reaped. A process whose main thread has exited
  // while a second thread runs is alive, on macOS and here.
  SleepingChild leaderless([] {
    std::thread([] { pause(); }).detach();
    syscall(SYS_exit, 0);
  });
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  ASSERT_TRUE(AwaitZombieMainThread(zombie, 1));
  ASSERT_TRUE(AwaitZombieMainThread(leaderless.pid, 2));
  for (IdentifierSource source : UsableSources()) {
    SCOPED_TRACE(static_cast<int>(source));
    procinfo_linux::ForceIdentifierSource(static_cast<int>(source));
    proc_bsdinfo bsd;
    proc_uniqidentifierinfo unique;
    EXPECT_TRUE(BsdInfo(zombie, &bsd));
    EXPECT_FALSE(UniqueInfo(zombie, &unique));
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(BsdInfo(leaderless.pid, &bsd));
    EXPECT_TRUE(UniqueInfo(leaderless.pid, &unique));
  }
  waitpid(zombie, nullptr, 0);
}

TEST(StartTimeIdentifier, SeparatesNumbersAndStartTimes) {
  EXPECT_NE(procinfo_linux::StartTimeUniqueId(100, 5), procinfo_linux::StartTimeUniqueId(100, 6));
  EXPECT_NE(procinfo_linux::StartTimeUniqueId(100, 5), procinfo_linux::StartTimeUniqueId(101, 5));
  EXPECT_NE(procinfo_linux::StartTimeUniqueId(4194303, 0),
            procinfo_linux::StartTimeUniqueId(1, 1));
  EXPECT_NE(procinfo_linux::StartTimeUniqueId(1, 0), 0u);
}

TEST(ProcessInfo, MissingProcessesAndBadRequests) {
  const int unused = UnusedPid();
  ASSERT_GT(unused, 0);
  proc_bsdinfo bsd;
  proc_uniqidentifierinfo unique;
  EXPECT_FALSE(BsdInfo(unused, &bsd));
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(UniqueInfo(unused, &unique));
  EXPECT_EQ(errno, ESRCH);

  char small[100];
  errno = 0;
  EXPECT_EQ(proc_pidinfo(getpid(), PROC_PIDTBSDINFO, 0, small, sizeof small), 0);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(proc_pidinfo(getpid(), 12345, 0, &bsd, sizeof bsd), 0);
  EXPECT_EQ(errno, EINVAL);
}

TEST(ProcessInfo, ThreadIdsAreNotProcesses) {
  // The main thread of a child is its process; a second thread's id must
  // not read as a process of its own.
  int tid_pipe[2];
  ASSERT_EQ(pipe(tid_pipe), 0);
  SleepingChild child([&] {
    std::thread helper([&] {
      const pid_t tid = gettid();
      (void)!write(tid_pipe[1], &tid, sizeof tid);
      pause();
    });
    helper.join();
  });
  close(tid_pipe[1]);  // so that a child that died early ends the read
  pid_t thread_id = 0;
  const ssize_t got = read(tid_pipe[0], &thread_id, sizeof thread_id);
  close(tid_pipe[0]);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof thread_id));
  proc_bsdinfo bsd;
  EXPECT_FALSE(BsdInfo(thread_id, &bsd));
  EXPECT_EQ(errno, ESRCH);
  EXPECT_TRUE(BsdInfo(child.pid, &bsd));
  // Nor has it an argument area. macOS has no number for a thread, so its
  // kill too would say ESRCH: the answer stays ESRCH here, where Linux's
  // kill finds the thread.
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, thread_id};
  size_t size = 0;
  EXPECT_NE(sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(errno, ESRCH);
  char area[65536];
  size = sizeof area;
  EXPECT_NE(sysctl(mib, 3, area, &size, nullptr, 0), 0);
  EXPECT_EQ(errno, ESRCH);
}

std::vector<int> ListAll() {
  const int estimate = proc_listallpids(nullptr, 0);
  std::vector<int> pids(static_cast<size_t>(estimate > 0 ? estimate : 0) + 256);
  const int listed = proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(int)));
  pids.resize(listed > 0 ? static_cast<size_t>(listed) : 0);
  return pids;
}

TEST(ProcessList, ListsProcessesOnceAndKernelThreadsReadAsNone) {
  SleepingChild child;
  const std::vector<int> pids = ListAll();
  const std::set<int> listed(pids.begin(), pids.end());
  EXPECT_EQ(listed.size(), pids.size());
  EXPECT_EQ(listed.count(getpid()), 1u);
  EXPECT_EQ(listed.count(child.pid), 1u);
  EXPECT_EQ(listed.count(0), 0u);
  // kthreadd, where this namespace can see it: listed, as the number is in
  // use, but the BSD read that every listed number gets answers none.
  char comm[64] = {0};
  FILE* file = fopen("/proc/2/comm", "r");
  if (file != nullptr) {
    const bool read = fgets(comm, sizeof comm, file) != nullptr;
    fclose(file);
    if (read && strncmp(comm, "kthreadd", 8) == 0) {
      proc_bsdinfo bsd;
      EXPECT_FALSE(BsdInfo(2, &bsd));
      EXPECT_EQ(errno, ESRCH);
    }
  }
}

TEST(ProcessList, StopsAtTheBufferCapacity) {
  SleepingChild a, b, c;
  int two[2] = {0, 0};
  EXPECT_EQ(proc_listallpids(two, sizeof two), 2);
  EXPECT_GE(proc_listallpids(nullptr, 0), 4);
}

std::string ArgumentArea(int pid, int* error) {
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
  size_t size = 0;
  *error = 0;
  if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0) {
    *error = errno;
    return "";
  }
  // One spare byte, as the add-on reads: a buffer filled to its last byte
  // holds only the tail of an area that grew after the size query.
  std::string area(size + 1, '\0');
  size = area.size();
  if (sysctl(mib, 3, &area[0], &size, nullptr, 0) != 0) {
    *error = errno;
    return "";
  }
  if (size == area.size()) {
    *error = EAGAIN;
    return "";
  }
  area.resize(size);
  return area;
}

// The executable path of an area, which comes right after its count word.
std::string AreaPath(const std::string& area) {
  return area.size() < 5 ? std::string() : area.substr(4, area.find('\0', 4) - 4);
}

// `program` (/bin/sh unless said otherwise) run with the test's own argv
// and envp. It waits on a pipe for its standard input, so that it starts
// no process that would outlive the test; Stop, or the destructor, closes
// the pipe and reaps it.
struct ShellChild {
  pid_t pid = -1;
  int hold = -1;
  ShellChild(std::vector<const char*> argv, std::vector<const char*> envp,
             const char* program = "/bin/sh") {
    argv.push_back(nullptr);  // built before the fork: the child only execs
    envp.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[0], 0);
      close(fds[0]);
      close(fds[1]);
      execve(program, const_cast<char* const*>(argv.data()), const_cast<char* const*>(envp.data()));
      _exit(127);
    }
    close(fds[0]);
    hold = fds[1];
  }
  ~ShellChild() { Stop(); }
  void Stop() {
    if (hold >= 0) close(hold);
    hold = -1;
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

// The area of `child` once its exec is done, which shows as `mark` in it.
std::string AreaAfterExec(const ShellChild& child, const char* mark, int* error) {
  std::string area;
  for (int i = 0; i < 200; ++i) {
    area = ArgumentArea(child.pid, error);
    if (area.find(mark) != std::string::npos) break;
    usleep(10000);
  }
  return area;
}

// The area as macOS lays it out: count word, path, its zero byte, zeros up
// to where argv begins (key "executable_path=", path and zero byte padded
// to 8 bytes, the 16-byte key then stripped), argv, environment.
std::string MacArea(int32_t count, const std::string& path, const std::string& strings) {
  std::string area(reinterpret_cast<const char*>(&count), 4);
  area += path;
  area.append((16 + path.size() + 1 + 7) / 8 * 8 - 16 - path.size(), '\0');
  return area + strings;
}

// Copies of the shell at paths of every length modulo 8, each run with an
// empty first and middle argument and with argc 0 (which Linux turns into
// one empty argument): the area is exactly macOS's, byte for byte, so the
// reader finds the empty arguments where argv begins.
TEST(ArgumentArea, LayoutOfCountPathPaddingArgumentsEnvironment) {
  char dir[] = "/tmp/procinfo-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  char shell[PATH_MAX];
  ASSERT_NE(realpath("/bin/sh", shell), nullptr);
  const std::string first = std::string(dir) + "/s";
  ASSERT_EQ(system(("cp " + std::string(shell) + " " + first).c_str()), 0);
  const char env[] = "ALPHA=1\0BETA=\0";
  const std::string environment(env, sizeof env - 1);
  for (int length = 1; length <= 8; ++length) {
    const std::string program = std::string(dir) + "/" + std::string(length, 's');
    ASSERT_TRUE(length == 1 || link(first.c_str(), program.c_str()) == 0) << program;
    SCOPED_TRACE(program);
    const char empty_args[] = "\0-c\0read line\0\0b\0";
    for (const auto& [argv, count, strings] : {
             std::make_tuple(std::vector<const char*>{"", "-c", "read line", "", "b"}, 5,
                             std::string(empty_args, sizeof empty_args - 1)),
             std::make_tuple(std::vector<const char*>{}, 1, std::string(1, '\0')),
         }) {
      ShellChild child(argv, {"ALPHA=1", "BETA="}, program.c_str());
      ASSERT_GT(child.pid, 0);
      int error = 0;
      const std::string area = AreaAfterExec(child, "ALPHA=1", &error);
      child.Stop();
      ASSERT_EQ(error, 0);
      EXPECT_EQ(area, MacArea(count, program, strings + environment)) << "count " << count;
    }
  }
  ASSERT_EQ(system(("rm -r " + std::string(dir)).c_str()), 0);

  // macOS refuses a number that names no process with EINVAL.
  int unused_error = 0;
  ArgumentArea(UnusedPid(), &unused_error);
  EXPECT_EQ(unused_error, EINVAL);
}

// Reads the area of children caught in the middle of their exec, again and
// again: each area read must belong to one program, the test's own image
// before the exec or the shell after it, never the old path with the new
// arguments.
TEST(ArgumentArea, NeverMixesTheProgramsBeforeAndAfterAnExec) {
  char shell[PATH_MAX];
  ASSERT_NE(realpath("/bin/sh", shell), nullptr);
  char own[PATH_MAX];
  ASSERT_NE(realpath("/proc/self/exe", own), nullptr);
  int reads_before = 0;
  int reads_after = 0;
  for (int round = 0; round < 60; ++round) {
    ShellChild child({"sh", "-c", "read line"}, {"EXECUTED=1"});
    ASSERT_GT(child.pid, 0);
    for (int i = 0; i < 2000; ++i) {
      int error = 0;
      const std::string area = ArgumentArea(child.pid, &error);
      if (error != 0) {
        continue;  // the size changed with the exec, or the reads met it
      }
      const bool executed = area.find("EXECUTED=1") != std::string::npos;
      EXPECT_EQ(AreaPath(area), executed ? shell : own) << "round " << round;
      if (!executed) {
        ++reads_before;
      } else {
        ++reads_after;
        break;
      }
    }
  }
  // Both sides of the exec were seen, or the test proved nothing.
  EXPECT_GT(reads_before, 0);
  EXPECT_GT(reads_after, 0);
}

TEST(ArgumentArea, AShortBufferGetsTheTailBehindTheCountWord) {
  int error = 0;
  const std::string whole = ArgumentArea(getpid(), &error);
  ASSERT_EQ(error, 0);
  ASSERT_GT(whole.size(), 20u);
  // As on macOS, a short read does not fail: the count word, then the
  // area's last bytes, and the buffer reported full.
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, getpid()};
  char shortened[14];
  size_t size = sizeof shortened;
  ASSERT_EQ(sysctl(mib, 3, shortened, &size, nullptr, 0), 0);
  EXPECT_EQ(size, sizeof shortened);
  EXPECT_EQ(std::string(shortened, 4), whole.substr(0, 4));
  EXPECT_EQ(std::string(shortened + 4, 10), whole.substr(whole.size() - 10));

  char tiny[3];
  size = sizeof tiny;
  EXPECT_NE(sysctl(mib, 3, tiny, &size, nullptr, 0), 0);
  EXPECT_EQ(errno, EINVAL);
  int other[3] = {CTL_KERN, 1, getpid()};
  size = 0;
  EXPECT_NE(sysctl(other, 3, nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(errno, ENOTSUP);
}

TEST(ArgumentArea, AZombieIsEinvalAsOnMacOS) {
  // A zombie is no process to macOS's sysctl, which says EINVAL; kill
  // still finds it, so the add-on answers "unknown" rather than "gone".
  int error = 0;
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  ASSERT_TRUE(AwaitZombieMainThread(zombie, 1));
  ArgumentArea(zombie, &error);
  EXPECT_EQ(error, EINVAL);
  waitpid(zombie, nullptr, 0);
}

TEST(ArgumentArea, AProcessClonedWithoutExitSignalHasOne) {
  // Its stat shows exit signal 0, which a thread id never does but which
  // tells nothing alone: it has an argument area like any process.
  static char stack[65536];
  const pid_t quiet = clone([](void*) -> int { pause(); return 0; }, stack + sizeof stack, 0,
                            nullptr);
  ASSERT_GT(quiet, 0);
  int error = -1;
  const std::string area = ArgumentArea(quiet, &error);
  kill(quiet, SIGKILL);
  waitpid(quiet, nullptr, __WALL);
  EXPECT_EQ(error, 0);
  EXPECT_GT(area.size(), 4u);
}

}  // namespace
