// The Linux reservation file lives in a world-writable directory, so it
// must not be a way to change files through a planted link; where vxusbd's
// group folder exists, only its group can hold a reservation.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/named_mutex.h"
#include "test_support.h"

namespace {

// /run/lock is the machine's own outside the test wrapper's private /run.
bool private_run() {
  const char* v = getenv("VX_PRIVATE_RUN");
  return v && v[0] == '1';
}

// A child that drops to uid 65534 with the given supplementary groups,
// claims `name` and holds what it got until the returned pipe is closed.
struct Claimant {
  pid_t pid = -1;
  int hold = -1;  // closed to let the child end
  char got = '?';  // '1' held, '0' refused, 'x' could not drop privileges
};

Claimant claim_as_nobody(const std::vector<gid_t>& groups, const char* name) {
  Claimant c;
  int result[2], hold[2];
  if (pipe(result) != 0) return c;
  if (pipe(hold) != 0) {
    close(result[0]);
    close(result[1]);
    return c;
  }
  c.pid = fork();
  if (c.pid == 0) {
    close(result[0]);
    close(hold[1]);
    char got = 'x';
    if (setgroups(groups.size(), groups.data()) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
      umask(077);
      got = vxp_named_mutex_claim(name) ? '1' : '0';
    }
    if (write(result[1], &got, 1) != 1) _exit(1);
    char byte;
    while (read(hold[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(result[1]);
  close(hold[0]);
  c.hold = hold[1];
  pollfd pfd{result[0], POLLIN, 0};
  if (c.pid > 0 && poll(&pfd, 1, 10000) == 1 && read(result[0], &c.got, 1) != 1) c.got = '?';
  close(result[0]);
  return c;
}

void end(Claimant& c) {
  if (c.hold >= 0) close(c.hold);
  if (c.pid > 0) waitpid(c.pid, nullptr, 0);
}

}  // namespace

// With vxusbd's folder present, someone outside its group cannot block a
// device by holding its reservation; a member can hold it against others.
TEST(NamedMutexPosix, OnlyTheFolderGroupCanHoldAReservation) {
  if (!private_run() || geteuid() != 0) GTEST_SKIP() << "needs root and the private /run of tests/netns_run.sh";
  const gid_t group = 4242;
  const char* dir = "/run/vx_comm_lib/lock";
  mkdir("/run/vx_comm_lib", 0755);
  ASSERT_EQ(0, mkdir(dir, 0700));
  ASSERT_EQ(0, chown(dir, 0, group));
  ASSERT_EQ(0, chmod(dir, 03770));
  struct Case {
    std::vector<gid_t> groups;
    char child;       // what the child's claim gives
    bool parentGets;  // whether the claim of a process outside then succeeds
  };
  const Case cases[] = {
      {{}, '0', true},      // no group: cannot even open the file
      {{group}, '1', false},  // a member holds it
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.groups.size());
    Claimant c = claim_as_nobody(k.groups, "Global\\grouped");
    if (c.got == 'x') {
      end(c);
      GTEST_SKIP() << "cannot change to uid 65534 here";
    }
    EXPECT_EQ(k.child, c.got);
    vxp_named_mutex* m = vxp_named_mutex_claim("Global\\grouped");
    EXPECT_EQ(k.parentGets, m != nullptr);
    vxp_named_mutex_release(m);
    end(c);
  }
  unlink("/run/vx_comm_lib/lock/vx_comm_lib.grouped.lock");
  ASSERT_EQ(0, rmdir(dir));
}

TEST(NamedMutexPosix, PlantedLinkIsNotFollowed) {
  if (!private_run()) GTEST_SKIP() << "needs the private /run of tests/netns_run.sh";
  std::string target = vx_test_temp_dir() + "/vx_named_target";
  FILE* f = fopen(target.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  ASSERT_EQ(symlink(target.c_str(), "/run/lock/vx_comm_lib.planted.lock"), 0);

  vxp_named_mutex* m = vxp_named_mutex_claim("Global\\planted");
  EXPECT_EQ(m, nullptr);
  vxp_named_mutex_release(m);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  unlink("/run/lock/vx_comm_lib.planted.lock");
  unlink(target.c_str());
}

// A name that would leave the lock directory is refused, not mapped.
TEST(NamedMutexPosix, NamesOutsidePlainCharactersAreRefused) {
  for (const char* bad : {"Global\\", "Global\\..", "Global\\a/b", "Global\\a\\b", ""}) {
    vxp_named_mutex* m = vxp_named_mutex_claim(bad);
    EXPECT_EQ(m, nullptr) << bad;
    vxp_named_mutex_release(m);
  }
}

// A claim that fails for a reason of the machine's own says which, so the
// open can log it; a name that is merely held gives no reason.
TEST(NamedMutexPosix, AMissingLockDirectoryIsNamedAsTheReason) {
  if (!private_run()) GTEST_SKIP() << "needs the private /run of tests/netns_run.sh";
  ASSERT_EQ(0, rename("/run/lock", "/run/lock.away"));
  EXPECT_EQ(nullptr, vxp_named_mutex_claim("Global\\nodir"));
  const char* why = vxp_named_mutex_take_problem();
  EXPECT_STREQ("/run/lock is missing", why ? why : "(none)");
  EXPECT_EQ(nullptr, vxp_named_mutex_take_problem());
  ASSERT_EQ(0, rename("/run/lock.away", "/run/lock"));

  vxp_named_mutex* m = vxp_named_mutex_claim("Global\\held");
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(nullptr, vxp_named_mutex_claim("Global\\held"));
  EXPECT_EQ(nullptr, vxp_named_mutex_take_problem());
  vxp_named_mutex_release(m);
}
