// mkinstaller: builds the Orvanta installer file from the installer program
// and a package folder, and verifies finished installers.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "installer_build.h"
#include "installer_verify.h"

namespace {

const char kHelp[] = R"(Usage:
  mkinstaller build --program INSTALLER.exe --package FOLDER --output SETUP.exe
                    [--blocks N] [--quiet]
                    [--sign-cert CERT --sign-key KEY [--sign-pass-file FILE]
                     [--sign-name TEXT] [--sign-url URL] [--sign-time UNIX-SECONDS]]
                    [--7zz PATH] [--osslsigncode PATH]
  mkinstaller build --program PROGRAM.exe --archive FILE [--total-size N] --output OUT.exe
                    [signing and tool options as above]
  mkinstaller verify SETUP.exe [--ca CERT] [--7zz PATH] [--osslsigncode PATH]
  mkinstaller --help

build writes SETUP.exe: the installer program, then the payload header
("App.", one zero byte, the total unpacked size as a 32-bit little-endian
number), then a 7z archive of the package (LZMA, with the BCJ2 filter for
blocks that hold x86 or x64 programs, made by 7zz). The offset of the payload
header goes into the COFF TimeDateStamp field of the program's PE header, and
the PE checksum is brought up to date. With --sign-cert and --sign-key the
finished file is signed (Authenticode, SHA-256) with osslsigncode; the
signature table then follows the archive.

The archive is one 7z archive in N solid blocks of similar decoding work
(every block LZMA; a block that holds an x86 or x64 PE file also has the BCJ2
filter, which other data does not gain from but pays a pass over every byte
for), which the installer decodes side by side, as many at once as the machine
has cores. The work of each file is estimated first by a quick pass of 7zz
that packs every file on its own with a fast setting (about a tenth of the
packing time): a file that does not pack takes several times as long to decode
as code or text of the same size. The items keep their sorted order
(install-folder items first) and each block is a run of them cut at the item
boundary nearest to its share of the work, so a single item larger than a
share gives fewer blocks. By default a package gets one block per 10 MiB of
estimated packed size plus an eighth of its unpacked size, an even number of
at most 8, and one block below 20 MiB of that (a product-like package of 60
MiB gets 2 blocks, one of 120 MiB 4, one of 240 MiB or more 8); --blocks N
asks for N (1 to 64). Each block costs a little archive size (for a
product-like package about 1.8 % for the 2 blocks of 60 MiB and 0.9 % for the
8 of 360 MiB) and a block under 32 MiB also decodes with a smaller dictionary.
The main stream's dictionary is 32 MiB; a block of 16 to 32 MiB is packed with
16 MiB too and keeps it when that costs at most 0.25 % of its packed size (its
decoder then touches half the memory), at the price of packing such a block
two or three times.
While it packs, build shows its progress when its output is a terminal;
--quiet turns that and the summary off.

The package folder holds exactly two sub-folders:
  FOLDER/install-folder/   files installed into the install folder itself
                           (stored as "../NAME"), e.g. Orvanta.exe,
                           OrvantaTask.exe, Uninstall.exe, Orvanta.ini
  FOLDER/version-folder/   files installed into the folder named after the
                           version, e.g. the libraries, setup.xml and
                           configurations/staticconfig.xml (required)

The version is the text of <item id="OVVersionString"> in
version-folder/configurations/staticconfig.xml, read as the installer reads it.

build refuses (exit code 1, nothing written) when:
  - the program is not a PE program (or is a DLL), is signed already, or has
    data appended behind its image (a package, for instance);
  - the package has anything but the two sub-folders, no staticconfig.xml, no
    version in it, or a version that cannot name a folder, is not plain
    ASCII or is longer than 31 characters (the uninstaller reads 31 back);
  - install-folder/Orvanta.ini names another version than staticconfig.xml;
  - setup.xml is not well-formed, lacks <install> or <uninstall>, or has a
    rule item without attributes (a comment among the items, for instance),
    which would make the installer carry out no rule at all;
  - a file name is not allowed on Windows, two names differ only in case, an
    entry is a symbolic link or a special file, or an install-folder item
    would collide with the version folder or the installer's work folders;
  - the unpacked size or the installer file would not fit 32 bits;
  - 7zz or osslsigncode fails, or the output lies inside the package folder.
Warnings (build goes on) name empty folders (not packed), paths too long for
the default install folder, a missing setup.xml, Orvanta.ini or
Uninstall.exe, and a version not of the form 7.19.02N.

The same program, package and options give the same output bytes: files are
packed in sorted order without times or attributes. A signature carries the
signing time: --sign-time, else $SOURCE_DATE_EPOCH, else the current time.

build --archive (for test fixtures) appends FILE as it is in place of the
package archive, with N (default: the item sizes 7zz lists in FILE, or 0) as
the total size. The package checks are skipped, so the result may be an
installer that cannot work; that is what fixtures of damaged packages need.

verify reads SETUP.exe and reports the package offset, the payload header,
the archive (offset, size, what follows it), the signature, the PE checksum,
every item with its size and destination, the total size against the header,
the version, and the result of `7zz t`. With --ca CERT the signature is
checked against CERT. Exit code 0 when the installer is sound, 1 when not.

Options:
  --program FILE        the installer program (a PE file without a package)
  --package FOLDER      the package folder (layout above)
  --archive FILE        a ready-made archive or any data, in place of --package
  --total-size N        the unpacked size written with --archive
  --output FILE         the installer to write (replaced when it exists)
  --blocks N            solid blocks of the archive (default from the decoding work)
  --quiet               no progress display and no summary
  --sign-cert FILE      signing certificate (chain), PEM or DER
  --sign-key FILE       its private key
  --sign-pass-file FILE file with the private key's password
  --sign-name TEXT      description stored in the signature (default "Orvanta Setup")
  --sign-url URL        URL stored in the signature
  --sign-time SECONDS   signing time, Unix seconds
  --ca FILE             verify: the certificate the signature must chain to
  --7zz PATH            the 7-Zip console program (default: 7zz on PATH)
  --osslsigncode PATH   the signing program (default: osslsigncode on PATH)
  -h, --help            this text
Exit codes: 0 success, 1 refused or failed, 2 wrong command line.
)";

struct UsageError {
  std::string message;
};

// Parses "--name value" pairs; positional arguments go to "".
// Flags (options without a value) get the value "1".
std::map<std::string, std::vector<std::string>> ParseArguments(int argc, char** argv,
                                                               const std::vector<std::string>& known,
                                                               const std::vector<std::string>& flags = {}) {
  std::map<std::string, std::vector<std::string>> args;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      args[""].push_back(arg);
      continue;
    }
    bool found = false, flag = false;
    for (const auto& name : known) found = found || name == arg;
    for (const auto& name : flags) flag = flag || name == arg;
    if (!found && !flag) throw UsageError{"unknown option " + arg};
    if (args.count(arg)) throw UsageError{arg + " given twice"};
    if (flag) {
      args[arg].push_back("1");
      continue;
    }
    if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
    args[arg].push_back(argv[++i]);
  }
  return args;
}

std::string Take(std::map<std::string, std::vector<std::string>>& args, const std::string& name,
                 bool required) {
  const auto it = args.find(name);
  if (it == args.end()) {
    if (required) throw UsageError{name + " is required"};
    return std::string();
  }
  return it->second.front();
}

mkinstaller::Tools TakeTools(std::map<std::string, std::vector<std::string>>& args) {
  mkinstaller::Tools tools;
  if (args.count("--7zz")) tools.seven_zip = Take(args, "--7zz", true);
  if (args.count("--osslsigncode")) tools.osslsigncode = Take(args, "--osslsigncode", true);
  return tools;
}

// Rewrites one terminal line as packing goes on; ends it when done.
class ProgressLine {
 public:
  void Show(const mkinstaller::PackProgress& progress) {
    const std::string text = mkinstaller::ProgressText(progress);
    if (text == last_) return;
    std::cout << '\r' << text << "\x1b[K" << std::flush;
    last_ = text;
  }
  void Finish() {
    if (!last_.empty()) std::cout << '\n' << std::flush;
    last_.clear();
  }
  ~ProgressLine() { Finish(); }

 private:
  std::string last_;
};

int Build(int argc, char** argv) {
  auto args = ParseArguments(argc, argv,
                             {"--program", "--package", "--archive", "--total-size", "--output", "--blocks",
                              "--sign-cert", "--sign-key", "--sign-pass-file", "--sign-name", "--sign-url",
                              "--sign-time", "--7zz", "--osslsigncode"},
                             {"--quiet"});
  if (args.count("")) throw UsageError{"unexpected argument " + args[""].front()};
  mkinstaller::BuildOptions options;
  options.program = Take(args, "--program", true);
  if (args.count("--package") == args.count("--archive")) {
    throw UsageError{"give either --package or --archive"};
  }
  options.package = Take(args, "--package", false);
  options.archive = Take(args, "--archive", false);
  if (args.count("--total-size")) {
    if (options.archive.empty()) throw UsageError{"--total-size goes with --archive"};
    const std::string size = Take(args, "--total-size", true);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(size.c_str(), &end, 10);
    if (size.empty() || *end || size[0] == '-' || value > 0xFFFFFFFFull) {
      throw UsageError{"--total-size needs a number from 0 to 4294967295"};
    }
    options.total_size = static_cast<uint32_t>(value);
  }
  if (args.count("--blocks")) {
    if (!options.archive.empty()) throw UsageError{"--blocks goes with --package"};
    const std::string count = Take(args, "--blocks", true);
    char* end = nullptr;
    const long value = std::strtol(count.c_str(), &end, 10);
    if (count.empty() || *end || value < 1 || value > 64) throw UsageError{"--blocks needs a number from 1 to 64"};
    options.blocks = static_cast<int>(value);
  }
  const bool quiet = args.count("--quiet") > 0;
  options.output = Take(args, "--output", true);
  options.tools = TakeTools(args);
  const bool signing = args.count("--sign-cert") || args.count("--sign-key");
  if (signing) {
    mkinstaller::SignOptions sign;
    sign.certificate = Take(args, "--sign-cert", true);
    sign.key = Take(args, "--sign-key", true);
    sign.password_file = Take(args, "--sign-pass-file", false);
    if (args.count("--sign-name")) sign.description = Take(args, "--sign-name", true);
    sign.url = Take(args, "--sign-url", false);
    if (args.count("--sign-time")) {
      const std::string time = Take(args, "--sign-time", true);
      char* end = nullptr;
      sign.time = std::strtoll(time.c_str(), &end, 10);
      if (time.empty() || *end) throw UsageError{"--sign-time needs a number of seconds"};
    }
    options.sign = sign;
  } else {
    for (const char* name : {"--sign-pass-file", "--sign-name", "--sign-url", "--sign-time"}) {
      if (args.count(name)) throw UsageError{std::string(name) + " needs --sign-cert and --sign-key"};
    }
  }

  ProgressLine line;
  if (!quiet && isatty(STDOUT_FILENO)) {
    options.progress = [&line](const mkinstaller::PackProgress& progress) { line.Show(progress); };
  }
  const mkinstaller::BuildResult result = mkinstaller::BuildInstaller(options);
  line.Finish();
  for (const auto& warning : result.package.warnings) std::cerr << "mkinstaller: warning: " << warning << '\n';
  if (quiet) return 0;
  size_t install_items = 0;
  for (const auto& item : result.package.items) {
    install_items += item.destination == mkinstaller::Destination::kInstallFolder ? 1 : 0;
  }
  std::cout << "Wrote " << options.output << ": " << result.file_size << " bytes"
            << (result.is_signed ? ", signed" : ", unsigned") << '\n';
  if (options.archive.empty()) {
    std::cout << "  version " << result.package.version << ", " << result.package.items.size()
              << " items (" << install_items << " to the install folder), ";
  } else {
    std::cout << "  archive " << options.archive << " appended unchecked, ";
  }
  std::cout << result.package.total_size << " bytes unpacked\n"
            << "  package offset " << result.package_offset << ", archive " << result.archive_size
            << " bytes";
  if (result.blocks) std::cout << " in " << result.blocks << (result.blocks == 1 ? " solid block" : " solid blocks");
  std::cout << '\n';
  return 0;
}

int Verify(int argc, char** argv) {
  auto args = ParseArguments(argc, argv, {"--ca", "--7zz", "--osslsigncode"});
  if (!args.count("") || args[""].size() != 1) throw UsageError{"verify takes one installer file"};
  mkinstaller::VerifyOptions options;
  options.installer = args[""].front();
  options.ca_file = Take(args, "--ca", false);
  options.tools = TakeTools(args);
  return mkinstaller::VerifyInstaller(options, std::cout) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "-h" || command == "--help" || command == "help") {
      std::cout << kHelp;
      return 0;
    }
    if (command == "build") return Build(argc, argv);
    if (command == "verify") return Verify(argc, argv);
    throw UsageError{command.empty() ? "no command given" : "unknown command " + command};
  } catch (const UsageError& e) {
    std::cerr << "mkinstaller: " << e.message << "\nRun mkinstaller --help for the usage.\n";
    return 2;
  } catch (const mkinstaller::Error& e) {
    std::cerr << "mkinstaller: error: " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "mkinstaller: error: " << e.what() << '\n';
    return 1;
  }
}
