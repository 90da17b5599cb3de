// `cmake --install` puts both programs under a prefix, and they run there.
#include <gtest/gtest.h>

#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

TEST(InstallTest, InstalledProgramsRunFromThePrefix) {
  TempDir prefix;
  RunResult install = RunProgram({SPOOLEX_CMAKE_COMMAND, "--install", SPOOLEX_BINARY_DIR, "--prefix", prefix.path()});
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  const std::string bin = prefix / "bin";
  RunResult usage = RunProgram({bin + "/spoolex"});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out.rfind("spoolex <pakname> <directory> [delete]\n", 0), 0u);
  // The installed tools pack and unpack a file.
  TempDir work;
  std::filesystem::create_directory(work / "src");
  std::filesystem::create_directory(work / "dest");
  WriteBytes(work / "src/f.txt", Sample(4000));
  ASSERT_EQ(RunProgram({bin + "/spoolpack", "create", work / "game", work / "src"}).status, 0);
  RunResult run = RunProgram({bin + "/spoolex", work / "game", work / "dest"});
  EXPECT_NE(run.out.find("f.txt...compressed"), std::string::npos);
  EXPECT_EQ(ReadBytes(work / "dest/f.txt"), Sample(4000));
}

}  // namespace
