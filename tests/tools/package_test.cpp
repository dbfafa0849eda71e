// Package folder checks: names, the static configuration, the settings file
// and the rule file, read the way the installer and the uninstaller read them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "error.h"
#include "package_folder.h"
#include "run_process.h"

namespace fs = std::filesystem;

namespace mkinstaller {
namespace {

TEST(NameProblem, RefusesWhatWindowsCannotStore) {
  for (const char* good : {"Orvanta.exe", "卸载.lnk", "a b", "{VersionNameFolder}", "CONSOLE.txt"}) {
    EXPECT_EQ(NameProblem(good), "") << good;
  }
  for (const char* bad : {"a:b", "a*b", "a?b", "a\"b", "a<b", "a|b", "a\\b", "name.", "name ",
                          "con", "NUL.txt", "com1", "Lpt9.log", "\x01x", "\xC3", "\xFF\xFE"}) {
    EXPECT_NE(NameProblem(bad), "") << bad;
  }
}

TEST(StaticConfig, ReadsTheVersionAsTheInstallerDoes) {
  auto version = [](const std::string& xml) { return ReadStaticConfigVersion(xml); };
  const auto shipped = version(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<staticconfigs><version_context a=\"1\"/>"
      "<item id=\"ExeFileName\">Orvanta.exe</item><item id=\"OVVersionString\">7.19.02N</item>"
      "<item id=\"OVVersionString\">9.99.99N</item></staticconfigs>");
  ASSERT_TRUE(shipped.version);
  EXPECT_EQ(*shipped.version, "7.19.02N");  // the first one counts
  EXPECT_EQ(*version("<staticconfigs><item id=\"OVVersionString\"> 7.19.02N</item></staticconfigs>")
                 .version,
            " 7.19.02N");  // not trimmed, and then refused as a folder name below
  EXPECT_FALSE(version("<staticconfigs><item>x</item><item id=\"OVVersionString\">7.19.02N</item>"
                       "</staticconfigs>")
                   .version);
  EXPECT_FALSE(version("<staticconfigs><item id=\"ovversionstring\">7.19.02N</item></staticconfigs>")
                   .version);
  EXPECT_FALSE(version("<configs><item id=\"OVVersionString\">7.19.02N</item></configs>").version);
  const auto broken = version("<staticconfigs><item id=\"OVVersionString\">7.19.02N</staticconfigs>");
  EXPECT_FALSE(broken.version);
  EXPECT_NE(broken.problem.find("well-formed"), std::string::npos);
}

TEST(StaticConfig, VersionMustNameAFolderTheUninstallerFinds) {
  EXPECT_EQ(VersionProblem("7.19.02N"), "");
  EXPECT_EQ(VersionProblem("7.19.02T"), "");  // works, though later installs keep it (a warning)
  EXPECT_TRUE(MatchesVersionPattern("7.19.02N"));
  EXPECT_TRUE(MatchesVersionPattern("12-05-31N"));
  EXPECT_FALSE(MatchesVersionPattern("7.19.02T"));
  EXPECT_FALSE(MatchesVersionPattern("7.19.2N"));
  EXPECT_FALSE(MatchesVersionPattern("7.19.02n"));
  for (const char* bad : {"", " 7.19.02N", "7.19/02N", "7.19.02N.", "new", "{VersionNameFolder}",
                          "7.19.02版", "1234567890123456789012345678901x"}) {
    EXPECT_NE(VersionProblem(bad), "") << bad;
  }
  EXPECT_EQ(VersionProblem("123456789012345678901234567890x"), "");  // 31 characters fit
}

TEST(SettingsFile, ReadsValuesAsTheProfileFunctionsDo) {
  const std::string ini = "; settings\r\n[Other]\r\nVersion=1\r\n[ common ]\r\n  version = \"7.19.02N\" \r\n";
  EXPECT_EQ(IniValue(ini, "Common", "Version").value_or("-"), "7.19.02N");
  EXPECT_EQ(IniValue(ini, "Other", "Version").value_or("-"), "1");
  EXPECT_FALSE(IniValue(ini, "Common", "Missing"));
  EXPECT_EQ(IniValue("\xEF\xBB\xBF[Common]\nVersion=7\n", "Common", "Version").value_or("-"), "7");
  const std::string utf16("\xFF\xFE[\0C\0o\0m\0m\0o\0n\0]\0\n\0V\0e\0r\0s\0i\0o\0n\0=\0\x37\0", 38);
  EXPECT_EQ(IniValue(utf16, "Common", "Version").value_or("-"), "7");
}

TEST(RuleFile, FindsWhatMakesASectionFailToLoad) {
  const std::string good =
      "<setup><install><reg><item key=\"HKEY_CURRENT_USER\"/></reg><other/></install>"
      "<uninstall><file><item path=\"$INSTDIR\"/></file><uninstallflag file=\"x\"/></uninstall></setup>";
  EXPECT_TRUE(RuleFileProblems(good).empty());
  auto problems = [](const std::string& xml) {
    std::string all;
    for (const auto& p : RuleFileProblems(xml)) all += p + "\n";
    return all;
  };
  EXPECT_NE(problems("<setup><install><process><item/></process></install><uninstall/></setup>")
                .find("<install><process> entry 1 (item) has no attributes"),
            std::string::npos);
  EXPECT_NE(problems("<setup><install><reg><!-- c --><item key=\"x\"/></reg></install><uninstall/></setup>")
                .find("(<xmlcomment>) has no attributes"),
            std::string::npos);
  EXPECT_NE(problems("<setup><install/><uninstall><file><item/></file></uninstall></setup>")
                .find("<uninstall><file>"),
            std::string::npos);
  EXPECT_NE(problems("<setup><uninstall/></setup>").find("no <install> section"), std::string::npos);
  EXPECT_NE(problems("<setup><install/></setup>").find("no <uninstall> section"), std::string::npos);
  EXPECT_NE(problems("<Setup/>").find("no <setup> root"), std::string::npos);
  EXPECT_NE(problems("<setup>").find("well-formed"), std::string::npos);
  EXPECT_TRUE(RuleFileProblems("<setup><install><Reg><item/></Reg></install><uninstall/></setup>").empty())
      << "an element of another name is not a rule kind";
}

class PackageFolder : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(work_.path()) / "pkg";
    Write("version-folder/configurations/staticconfig.xml",
          "<staticconfigs><item id=\"OVVersionString\">7.19.02N</item></staticconfigs>");
    Write("version-folder/setup.xml", "<setup><install/><uninstall/></setup>");
    Write("version-folder/b/z.dat", "zz");
    Write("version-folder/a.dll", "aaaa");
    Write("install-folder/Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n");
    Write("install-folder/Uninstall.exe", "u");
  }
  void Write(const std::string& relative, const std::string& text) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << text;
  }
  std::string Refusal() {
    try {
      ReadPackage(root_.string());
    } catch (const Error& e) {
      return e.what();
    }
    return std::string();
  }
  TempFolder work_;
  fs::path root_;
};

TEST_F(PackageFolder, ListsItemsInstallFolderFirstAndSorted) {
  Write("version-folder/empty/.keep", "");
  fs::remove(root_ / "version-folder/empty/.keep");
  const Package package = ReadPackage(root_.string());
  std::vector<std::string> paths;
  for (const auto& item : package.items) paths.push_back(item.ArchivePath());
  EXPECT_EQ(paths, (std::vector<std::string>{"../Orvanta.ini", "../Uninstall.exe", "a.dll", "b/z.dat",
                                             "configurations/staticconfig.xml", "setup.xml"}));
  EXPECT_EQ(package.version, "7.19.02N");
  uint64_t total = 0;
  for (const auto& item : package.items) total += fs::file_size(package.SourcePath(item));
  EXPECT_EQ(package.total_size, total);
  ASSERT_EQ(package.warnings.size(), 1u);
  EXPECT_NE(package.warnings[0].find("empty folder"), std::string::npos);
}

TEST_F(PackageFolder, RefusesEntriesTheInstallerCannotPlace) {
  fs::create_symlink(root_ / "version-folder/a.dll", root_ / "version-folder/link.dll");
  Write("install-folder/7.18.01N/old.txt", "x");
  Write("install-folder/{VersionNameFolder}", "x");
  Write("version-folder/B/y.dat", "y");
  Write("version-folder/Setup.XML", "y");
  const std::string refusal = Refusal();
  for (const char* expected : {"link.dll is a symbolic link", "install-folder/7.18.01N would be deleted",
                               "install-folder/{VersionNameFolder} would be deleted",
                               "differ only in case"}) {
    EXPECT_NE(refusal.find(expected), std::string::npos) << expected << "\n" << refusal;
  }
}

TEST_F(PackageFolder, ListsEveryProblemAtOnce) {
  fs::remove(root_ / "version-folder/configurations/staticconfig.xml");
  Write("install-folder/bad?.txt", "x");
  Write("version-folder/setup.xml", "<setup><install><reg><item/></reg></install></setup>");
  const std::string refusal = Refusal();
  for (const char* expected : {"has no version-folder/configurations/staticconfig.xml", "bad?.txt",
                               "has no attributes", "no <uninstall> section"}) {
    EXPECT_NE(refusal.find(expected), std::string::npos) << expected << "\n" << refusal;
  }
}

}  // namespace
}  // namespace mkinstaller
