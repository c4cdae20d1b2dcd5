#include "util/platform.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include "util/test_support.h"

namespace {

SpawnSpec shell(const std::string& script, const std::string& cwd) {
  return {"/bin/sh", {"-c", script}, {"PATH=/usr/bin:/bin"}, cwd};
}

// (A child runs in its folder: the end-to-end scenarios read each launch's working folder.)
TEST(SpawnChild, FailsWithTheErrorAndNoChildOrStartsOneWithoutTheBlockedSignals) {
  TempDir dir;
  // A folder that cannot be entered fails the spawn itself: no process is started elsewhere.
  for (const SpawnSpec& spec :
       {shell("pwd", dir / "gone"), SpawnSpec{dir / "no-such-program", {}, {}, dir.path()}}) {
    SpawnResult failed = spawn_child(spec);
    EXPECT_FALSE(failed.child) << spec.program;
    EXPECT_EQ(failed.error, ENOENT) << spec.program;
  }

  // The bridge blocks termination signals in its threads; a child that inherited the mask
  // would survive its own SIGTERM and exit 3 here.
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
  SpawnResult ran = spawn_child(shell("kill -TERM $$; exit 3", dir.path()));
  int status = ran.child ? wait_child(ran.child->pid) : -2;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(ran.child) << ran.error;
  EXPECT_EQ(status, -1);  // ended by the signal
}

}  // namespace
