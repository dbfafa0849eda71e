// The mkinstaller program end to end: it packs the stand-in program with the
// sample package, and its verify mode reads the result back.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "bytes.h"
#include "payload.h"
#include "pe_image.h"
#include "run_process.h"

namespace fs = std::filesystem;

namespace mkinstaller {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::string text;
  ReadTextFile(path.string(), &text);
  return text;
}

// Runs a program with a terminal as its stdout and stderr, as a user at a console does.
ProcessResult RunOnTerminal(const std::vector<std::string>& argv) {
  ProcessResult result;
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0) return result;
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(terminal, buffer, sizeof(buffer))) > 0) result.output.append(buffer, static_cast<size_t>(n));
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class MkInstallerTest : public testing::Test {
 protected:
  void SetUp() override {
    tool_ = Env("ORV_MKINSTALLER");
    program_ = Env("ORV_TEST_PROGRAM");
    package_ = Env("ORV_SAMPLE_PACKAGE");
    key_ = Env("ORV_TEST_SIGN_KEY");
    cert_ = Env("ORV_TEST_SIGN_CERT");
    if (tool_.empty() || program_.empty() || package_.empty()) {
      GTEST_SKIP() << "run through CTest, which names the tool, program and package";
    }
  }

  ProcessResult Tool(std::vector<std::string> args) {
    args.insert(args.begin(), tool_);
    return RunProcess(args);
  }

  ProcessResult Build(const std::string& output, const std::string& package,
                      std::vector<std::string> extra = {}, const std::string& program = "") {
    std::vector<std::string> args = {"build", "--program", program.empty() ? program_ : program,
                                     "--package", package, "--output", output};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }

  std::vector<std::string> SignArgs(const std::string& time = "1700000000") {
    return {"--sign-cert", cert_, "--sign-key", key_, "--sign-time", time};
  }

  // A copy of the sample package that a test may change.
  std::string CopyPackage() {
    const fs::path copy = fs::path(work_.path()) / "package";
    fs::remove_all(copy);
    fs::copy(package_, copy, fs::copy_options::recursive);
    return copy.string();
  }

  std::string Out(const std::string& name) { return (fs::path(work_.path()) / name).string(); }

  std::string tool_, program_, package_, key_, cert_;
  TempFolder work_;
};

TEST_F(MkInstallerTest, AppendsThePackageBehindTheProgramAndVerifies) {
  const std::string setup = Out("setup.exe");
  const ProcessResult built = Build(setup, package_);
  ASSERT_EQ(built.exit_code, 0) << built.output;

  const Bytes program = ReadFile(program_);
  const Bytes file = ReadFile(setup);
  const PeImage pe = ParsePeImage(file.data(), file.size());
  ASSERT_EQ(pe.time_stamp, program.size());  // the package starts right behind the program
  EXPECT_EQ(pe.checksum, ComputePeChecksum(file, pe.checksum_offset));
  for (size_t i = 0; i < program.size(); ++i) {
    const bool patched = (i >= pe.time_stamp_offset && i < pe.time_stamp_offset + 4) ||
                         (i >= pe.checksum_offset && i < pe.checksum_offset + 4);
    if (!patched) {
      ASSERT_EQ(file[i], program[i]) << "program byte " << i << " changed";
    }
  }
  const PayloadHeader header = DecodePayloadHeader(file.data() + pe.time_stamp);
  EXPECT_TRUE(header.magic_ok);
  EXPECT_EQ(file[pe.time_stamp + 4], 0);
  uint64_t unpacked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(package_)) {
    if (entry.is_regular_file()) unpacked += entry.file_size();
  }
  EXPECT_EQ(header.total_size, unpacked);
  const SevenZipStart start = ReadSevenZipStart(file.data() + pe.time_stamp + 9,
                                                file.size() - pe.time_stamp - 9);
  EXPECT_TRUE(start.crc_ok);
  EXPECT_EQ(pe.time_stamp + 9 + start.archive_size, file.size());

  const ProcessResult verified = Tool({"verify", setup});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  const std::string main_program =
      std::to_string(fs::file_size(fs::path(package_) / "install-folder/Orvanta.exe")) + "  ../Orvanta.exe\n";
  const std::vector<std::string> expected_lines = {
      "install folder", main_program, "magic \"App.\" ok", "right behind the image",
      "version folder", "configurations/staticconfig.xml", "(matches the header)",
      "Version:            7.19.02N", "Archive test:       ok", "Signature:          none",
      "Result:             OK"};
  for (const std::string& expected : expected_lines) {
    EXPECT_NE(verified.output.find(expected), std::string::npos) << expected << "\n" << verified.output;
  }
}

TEST_F(MkInstallerTest, SameInputsGiveSameBytes) {
  ASSERT_EQ(Build(Out("a.exe"), package_).exit_code, 0);
  // Another folder, newer file times, other permissions: the same bytes.
  const fs::path copy = CopyPackage();
  fs::permissions(copy / "install-folder/Orvanta.ini", fs::perms::owner_read);
  ASSERT_EQ(Build(Out("b.exe"), copy.string()).exit_code, 0);
  EXPECT_TRUE(ReadFile(Out("a.exe")) == ReadFile(Out("b.exe")));
  if (key_.empty()) return;
  ASSERT_EQ(Build(Out("sa.exe"), package_, SignArgs()).exit_code, 0);
  ASSERT_EQ(Build(Out("sb.exe"), package_, SignArgs()).exit_code, 0);
  EXPECT_TRUE(ReadFile(Out("sa.exe")) == ReadFile(Out("sb.exe")));
}

TEST_F(MkInstallerTest, SplitsThePackageIntoTheBlocksAskedForAndStaysDeterministic) {
  const fs::path package = CopyPackage();
  // Items of one name in both folders, and a folder name in both, in different blocks.
  WriteText(package / "version-folder/Orvanta.ini", "a version-folder item of the same name");
  fs::create_directories(package / "install-folder/docs");
  fs::create_directories(package / "version-folder/docs");
  WriteText(package / "install-folder/docs/a.txt", "install folder");
  WriteText(package / "version-folder/docs/a.txt", "version folder");
  const ProcessResult built = Build(Out("three.exe"), package.string(), {"--blocks", "3"});
  ASSERT_EQ(built.exit_code, 0) << built.output;
  EXPECT_NE(built.output.find("in 3 solid blocks"), std::string::npos) << built.output;
  EXPECT_EQ(built.output.find("packing block"), std::string::npos) << "progress shown into a pipe";

  const ProcessResult verified = Tool({"verify", Out("three.exe")});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  EXPECT_NE(verified.output.find("Blocks:             3 solid blocks: "), std::string::npos) << verified.output;
  for (const char* item : {"  ../Orvanta.ini\n", "  Orvanta.ini\n", "  ../docs/a.txt\n", "  docs/a.txt\n",
                           "  ../Uninstall.exe\n", "  configurations/staticconfig.xml\n"}) {
    EXPECT_NE(verified.output.find(item), std::string::npos) << item << verified.output;
  }
  // Each item keeps its own bytes through the renaming.
  const Bytes file = ReadFile(Out("three.exe"));
  const uint32_t p = ParsePeImage(file.data(), file.size()).time_stamp;
  const std::string archive = Out("three.7z");
  std::ofstream(archive, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data() + p + 9), static_cast<std::streamsize>(file.size() - p - 9));
  const ProcessResult install_item = RunProcess({"7zz", "x", "-so", "-spd", archive, "../docs/a.txt"}, "", false);
  EXPECT_EQ(install_item.output, "install folder");
  const ProcessResult version_item = RunProcess({"7zz", "x", "-so", "-spd", archive, "docs/a.txt"}, "", false);
  EXPECT_EQ(version_item.output, "version folder");

  ASSERT_EQ(Build(Out("three-again.exe"), package.string(), {"--blocks", "3", "--quiet"}).exit_code, 0);
  EXPECT_TRUE(ReadFile(Out("three.exe")) == ReadFile(Out("three-again.exe")));
  ASSERT_EQ(Build(Out("one.exe"), package.string(), {"--blocks", "1"}).exit_code, 0);
  EXPECT_NE(Tool({"verify", Out("one.exe")}).output.find("Blocks:             1 solid block: "), std::string::npos);
}

TEST_F(MkInstallerTest, ShowsProgressOnATerminalOnly) {
  const std::vector<std::string> build = {tool_, "build", "--program", program_, "--package", package_,
                                          "--output", Out("shown.exe"), "--blocks", "2"};
  const ProcessResult shown = RunOnTerminal(build);
  ASSERT_EQ(shown.exit_code, 0) << shown.output;
  EXPECT_NE(shown.output.find("\rpacking block 1 of 2:"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("packing block 2 of 2: 100 %"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("in 2 solid blocks"), std::string::npos) << shown.output;

  std::vector<std::string> quiet = build;
  quiet.push_back("--quiet");
  const ProcessResult silent = RunOnTerminal(quiet);
  EXPECT_EQ(silent.exit_code, 0) << silent.output;
  EXPECT_EQ(silent.output, "");
  EXPECT_TRUE(fs::exists(Out("shown.exe")));
}

TEST_F(MkInstallerTest, PacksAnyNameWindowsAllowsLiterally) {
  const fs::path package = CopyPackage();
  WriteText(package / "install-folder/-dash.txt", "d");
  WriteText(package / "install-folder/@list.txt", "l");
  fs::create_directories(package / "install-folder/docs/zh");
  WriteText(package / "install-folder/docs/zh/说明 [1].txt", "");
  WriteText(package / "version-folder/Orvanta.ini", "a version-folder item of the same name");
  fs::permissions(package / "version-folder/Velpane.exe", fs::perms::owner_read);
  const ProcessResult built = Build(Out("odd.exe"), package.string());
  ASSERT_EQ(built.exit_code, 0) << built.output;
  const ProcessResult verified = Tool({"verify", Out("odd.exe")});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  for (const char* item : {"  ../-dash.txt\n", "  ../@list.txt\n", "           0  ../docs/zh/说明 [1].txt\n",
                           "  ../Orvanta.ini\n", "  Orvanta.ini\n", "  Velpane.exe\n"}) {
    EXPECT_NE(verified.output.find(item), std::string::npos) << item << verified.output;
  }
}

TEST_F(MkInstallerTest, SignedInstallerKeepsThePackageAndVerifies) {
  if (key_.empty()) GTEST_SKIP() << "no test signing key";
  const std::string setup = Out("signed.exe");
  const ProcessResult built = Build(setup, package_, SignArgs());
  ASSERT_EQ(built.exit_code, 0) << built.output;
  EXPECT_NE(built.output.find("signed"), std::string::npos);

  const Bytes file = ReadFile(setup);
  const PeImage pe = ParsePeImage(file.data(), file.size());
  EXPECT_EQ(pe.time_stamp, ReadFile(program_).size());
  EXPECT_TRUE(DecodePayloadHeader(file.data() + pe.time_stamp).magic_ok);
  ASSERT_NE(pe.certificate_offset, 0u);
  EXPECT_GT(pe.certificate_offset, pe.time_stamp);
  EXPECT_EQ(pe.certificate_offset + pe.certificate_size, file.size());

  const ProcessResult verified = Tool({"verify", setup, "--ca", cert_});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  EXPECT_NE(verified.output.find("verifies against"), std::string::npos) << verified.output;
  EXPECT_NE(verified.output.find("(alignment and signature table)"), std::string::npos);
  EXPECT_NE(verified.output.find("PE checksum:        0x"), std::string::npos);
  EXPECT_NE(verified.output.find("(matches)"), std::string::npos) << verified.output;

  // Changing a byte of the package breaks the signature, and verify says so.
  Bytes tampered = file;
  tampered[pe.time_stamp + 20] ^= 0x01;
  const std::string broken = Out("broken.exe");
  std::ofstream(broken, std::ios::binary)
      .write(reinterpret_cast<const char*>(tampered.data()), static_cast<std::streamsize>(tampered.size()));
  const ProcessResult rejected = Tool({"verify", broken, "--ca", cert_});
  EXPECT_EQ(rejected.exit_code, 1) << rejected.output;
  EXPECT_NE(rejected.output.find("does NOT verify"), std::string::npos) << rejected.output;
}

TEST_F(MkInstallerTest, RefusesProgramsThatCannotCarryAPackage) {
  const std::string text = Out("text.exe");
  WriteText(text, std::string(4096, 'x'));
  const std::string packed = Out("packed.exe");
  ASSERT_EQ(Build(packed, package_).exit_code, 0);
  struct Case {
    std::string program;
    std::string message;
  } cases[] = {
      {text, "not a PE file: no MZ header"},
      {packed, "carries a package already"},
      {package_ + "/version-folder/Quorix.dll", "is a DLL"},
      {Out("missing.exe"), "cannot open"},
  };
  if (!key_.empty()) {
    ASSERT_EQ(Build(Out("signed.exe"), package_, SignArgs()).exit_code, 0);
    cases[3] = {Out("signed.exe"), "is signed already"};
  }
  for (const auto& c : cases) {
    const ProcessResult result = Build(Out("out.exe"), package_, {}, c.program);
    EXPECT_EQ(result.exit_code, 1) << c.program;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_FALSE(fs::exists(Out("out.exe")));
    EXPECT_FALSE(fs::exists(Out("out.exe.part")));
  }
}

TEST_F(MkInstallerTest, RefusesPackagesThatWouldNotInstall) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    const char* message;
  } cases[] = {
      {"no static configuration",
       [](const fs::path& p) { fs::remove(p / "version-folder/configurations/staticconfig.xml"); },
       "has no version-folder/configurations/staticconfig.xml"},
      {"no version item",
       [](const fs::path& p) {
         WriteText(p / "version-folder/configurations/staticconfig.xml",
                   "<staticconfigs><item id=\"ExeFileName\">Orvanta.exe</item></staticconfigs>");
       },
       "gives no version: no <item id=\"OVVersionString\">"},
      {"settings file of another version",
       [](const fs::path& p) { WriteText(p / "install-folder/Orvanta.ini", "[Common]\r\nVersion=7.18.01N\r\n"); },
       "the uninstaller would look for the wrong folder"},
      {"comment among rule items",
       [](const fs::path& p) {
         std::string xml = ReadText(p / "version-folder/setup.xml");
         xml.replace(xml.find("<reg>"), 5, "<reg><!-- registration -->");
         WriteText(p / "version-folder/setup.xml", xml);
       },
       "has no attributes"},
      {"file beside the two folders",
       [](const fs::path& p) { WriteText(p / "readme.txt", "x"); }, "unexpected entry readme.txt"},
      {"names differing in case",
       [](const fs::path& p) { WriteText(p / "version-folder/quorix.dll", "x"); }, "differ only in case"},
  };
  for (const auto& c : cases) {
    const std::string package = CopyPackage();
    c.change(package);
    const ProcessResult result = Build(Out("out.exe"), package);
    EXPECT_EQ(result.exit_code, 1) << c.what;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << c.what << ":\n" << result.output;
    EXPECT_FALSE(fs::exists(Out("out.exe"))) << c.what;
  }
  // A sparse file makes the package too large for the header without using the disk.
  std::string package = CopyPackage();
  WriteText(fs::path(package) / "version-folder/huge.dat", "");
  fs::resize_file(fs::path(package) / "version-folder/huge.dat", 0x100000000ull);
  const ProcessResult huge = Build(Out("out.exe"), package);
  EXPECT_EQ(huge.exit_code, 1);
  EXPECT_NE(huge.output.find("the payload header holds at most 4294967295"), std::string::npos)
      << huge.output;

  package = CopyPackage();
  const ProcessResult inside = Build(package + "/version-folder/setup.exe", package);
  EXPECT_EQ(inside.exit_code, 1);
  EXPECT_NE(inside.output.find("inside the package folder"), std::string::npos) << inside.output;
}

TEST_F(MkInstallerTest, VerifyReportsWhatTheInstallerWouldNotFind) {
  const std::string setup = Out("setup.exe");
  ASSERT_EQ(Build(setup, package_).exit_code, 0);
  const Bytes good = ReadFile(setup);
  const uint32_t p = ParsePeImage(good.data(), good.size()).time_stamp;
  auto verify_changed = [&](size_t offset, uint8_t value) {
    Bytes file = good;
    file[offset] = value;
    const std::string path = Out("changed.exe");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return Tool({"verify", path});
  };
  ProcessResult result = verify_changed(p, 'X');
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("no \"App.\" magic"), std::string::npos) << result.output;
  result = verify_changed(p + 5, static_cast<uint8_t>(good[p + 5] + 1));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("the items add up to"), std::string::npos) << result.output;
  result = verify_changed(p + 9 + 32 + 100, static_cast<uint8_t>(good[p + 9 + 32 + 100] ^ 0x55));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("FAILED (7zz t)"), std::string::npos) << result.output;
  result = Tool({"verify", package_ + "/install-folder/Orvanta.ini"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("not a PE file"), std::string::npos) << result.output;
}

TEST_F(MkInstallerTest, ArchiveFixturesAreAppendedUncheckedAndVerifyFlagsThem) {
  // Data that is not an archive: appended as it is, size 0 unless given.
  const std::string junk = Out("junk.bin");
  WriteText(junk, "this is not a 7z archive");
  ProcessResult result = Tool({"build", "--program", program_, "--archive", junk, "--total-size",
                               "77", "--output", Out("junk.exe")});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const Bytes file = ReadFile(Out("junk.exe"));
  const uint32_t p = ParsePeImage(file.data(), file.size()).time_stamp;
  EXPECT_EQ(DecodePayloadHeader(file.data() + p).total_size, 77u);
  EXPECT_EQ(std::string(file.begin() + p + 9, file.end()), "this is not a 7z archive");
  result = Tool({"verify", Out("junk.exe")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("no 7z archive behind the payload header"), std::string::npos);

  // An item that would climb out of the install folder is reported.
  const fs::path items = fs::path(work_.path()) / "items";
  fs::create_directories(items);
  WriteText(items / "evil.txt", "x");
  WriteText(items / "fine.txt", "yy");
  const std::string archive = Out("evil.7z");
  ASSERT_EQ(RunProcess({"7zz", "a", "-t7z", archive, "evil.txt", "fine.txt"}, items.string()).exit_code, 0);
  ASSERT_EQ(RunProcess({"7zz", "rn", archive, "evil.txt", "../../evil.txt"}).exit_code, 0);
  result = Tool({"build", "--program", program_, "--archive", archive, "--output", Out("evil.exe")});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(result.output.find("3 bytes unpacked"), std::string::npos) << result.output;
  result = Tool({"verify", Out("evil.exe")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("REFUSED"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("../../evil.txt: '..' other than one leading '../'"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("no configurations/staticconfig.xml"), std::string::npos);

  EXPECT_EQ(Tool({"build", "--program", program_, "--archive", archive, "--package", package_,
                  "--output", Out("x.exe")}).exit_code, 2);
  EXPECT_EQ(Tool({"build", "--program", program_, "--archive", archive, "--output", archive}).exit_code, 1);
}

TEST_F(MkInstallerTest, HelpTellsEverythingAndUsageErrorsExitWith2) {
  const ProcessResult help = Tool({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* word : {"build", "verify", "--program", "--package", "--output", "--sign-cert",
                           "--sign-key", "--sign-time", "--ca", "--7zz", "--archive", "--total-size", "--blocks",
                           "--quiet", "solid blocks", "install-folder/",
                           "version-folder/", "OVVersionString", "TimeDateStamp", "Exit codes"}) {
    EXPECT_NE(help.output.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(Tool({}).exit_code, 2);
  EXPECT_EQ(Tool({"build", "--program", program_}).exit_code, 2);
  EXPECT_EQ(Tool({"build", "--nonsense", "x"}).exit_code, 2);
  EXPECT_EQ(Tool({"verify"}).exit_code, 2);
  EXPECT_EQ(Build(Out("x.exe"), package_, {"--sign-time", "5"}).exit_code, 2);
  for (const char* count : {"0", "65", "two", ""}) {
    EXPECT_EQ(Build(Out("x.exe"), package_, {"--blocks", count}).exit_code, 2) << count;
  }
  EXPECT_EQ(Tool({"build", "--program", program_, "--archive", program_, "--blocks", "2", "--output",
                  Out("x.exe")}).exit_code, 2);
  EXPECT_EQ(Build(Out("x.exe"), package_, {"--quiet", "--quiet"}).exit_code, 2);
}

}  // namespace
}  // namespace mkinstaller
