// The Linux reservation file lives in a world-writable directory, so it
// must not be a way to change files through a planted link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"
#include "test_support.h"

namespace {

// /run/lock is the machine's own outside the test wrapper's private /run.
bool private_run() {
  const char* v = getenv("VX_PRIVATE_RUN");
  return v && v[0] == '1';
}

}  // namespace

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
