#include "util/platform.h"

#include <gtest/gtest.h>
#include <signal.h>

// (A child runs in its folder, and one that cannot start there fails with its error: the
// end-to-end scenarios read each launch's working folder and answer a failed launch.)
TEST(SpawnChild, StartsAChildWithoutTheBlockedSignals) {
  // The bridge blocks termination signals in its threads; a child that inherited the mask
  // would survive its own SIGTERM and exit 3 here.
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
  SpawnResult ran = spawn_child({"/bin/sh", {"-c", "kill -TERM $$; exit 3"}, {}, ""});
  int status = ran.child ? wait_child(ran.child->pid) : -2;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(ran.child) << ran.error;
  EXPECT_EQ(status, -1);  // ended by the signal
}
