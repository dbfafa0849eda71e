#include "installer_verify.h"

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <map>
#include <vector>

#include "archive_tool.h"
#include "error.h"
#include "payload.h"
#include "run_process.h"

namespace mkinstaller {

namespace {

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Line(const std::string& label, const std::string& text) {
    out_ << std::left << std::setw(20) << (label + ":") << text << '\n';
  }
  void Problem(const std::string& text) {
    ++problems_;
    out_ << "PROBLEM: " << text << '\n';
  }
  std::ostream& raw() { return out_; }
  bool ok() const { return problems_ == 0; }
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

void ReportSignature(const VerifyOptions& options, const PeImage& pe, Report& report) {
  if (pe.certificate_offset == 0) {
    report.Line("Signature", "none");
    return;
  }
  std::string text = std::to_string(pe.certificate_size) + " bytes at " + Hex(pe.certificate_offset);
  if (options.ca_file.empty()) {
    report.Line("Signature", text + " (not checked; --ca CERT checks it)");
    return;
  }
  const ProcessResult result = RunProcess({options.tools.osslsigncode, "verify", "-CAfile",
                                           options.ca_file, "-in", options.installer});
  const bool good = result.exit_code == 0;
  report.Line("Signature", text + (good ? ", verifies against " : ", does NOT verify against ") +
                               options.ca_file);
  if (!good) report.Problem("osslsigncode verify failed:\n" + result.output);
}

}  // namespace

bool VerifyInstaller(const VerifyOptions& options, std::ostream& out) {
  Report report(out);
  const Bytes file = ReadFile(options.installer);
  report.Line("Installer", options.installer + " (" + std::to_string(file.size()) + " bytes)");
  if (file.size() > kMaxFileSize) report.Problem("the file is larger than the installer can read");

  PeImage pe;
  try {
    pe = ParsePeImage(file.data(), file.size());
  } catch (const Error& e) {
    report.Problem(e.what());
    return false;
  }
  report.Line("Program", std::string(pe.pe32_plus ? "PE32+ " : "PE32 ") + MachineName(pe.machine) +
                             (pe.is_dll ? " DLL" : " program") + ", image ends at " +
                             Hex(pe.image_end));
  if (pe.is_dll) report.Problem("a DLL cannot be an installer");

  const uint64_t offset = pe.time_stamp;
  report.Line("Package offset", Hex(offset) + " (COFF TimeDateStamp at " + Hex(pe.time_stamp_offset) +
                                    (offset == pe.known_end ? ", right behind the image)" : ")"));
  if (offset < pe.known_end || offset + kPayloadHeaderSize > file.size()) {
    report.Problem("the package offset does not point behind the program image and inside the file");
    return false;
  }
  const PayloadHeader header = DecodePayloadHeader(file.data() + offset);
  report.Line("Payload header", std::string("magic ") + (header.magic_ok ? "\"App.\" ok" : "MISSING") +
                                    ", byte 4 = " + std::to_string(header.reserved) +
                                    ", total unpacked size " + std::to_string(header.total_size) +
                                    " bytes");
  if (!header.magic_ok) {
    report.Problem("no \"App.\" magic at the package offset: the installer finds no package");
    return false;
  }

  const uint64_t archive_offset = offset + kPayloadHeaderSize;
  const uint64_t archive_room =
      (pe.certificate_offset != 0 && pe.certificate_offset >= archive_offset ? pe.certificate_offset
                                                                              : file.size()) -
      archive_offset;
  if (pe.certificate_offset != 0 && pe.certificate_offset < archive_offset) {
    report.Problem("the signature table lies before the archive");
  }
  const SevenZipStart start = ReadSevenZipStart(file.data() + archive_offset, archive_room);
  if (!start.signature_ok) {
    report.Problem("no 7z archive behind the payload header");
    return false;
  }
  report.Line("Archive", Hex(archive_offset) + ", " + std::to_string(start.archive_size) + " bytes" +
                             (start.crc_ok ? ", start header CRC ok" : ", start header CRC BAD"));
  if (!start.crc_ok) report.Problem("the 7z start header is damaged");
  if (start.archive_size > archive_room) {
    report.Problem("the archive is cut short: it needs " + std::to_string(start.archive_size) +
                   " bytes, " + std::to_string(archive_room) + " are there");
    return false;
  }
  const uint64_t trailing = file.size() - archive_offset - start.archive_size;
  report.Line("Behind the archive", std::to_string(trailing) + " bytes" +
                                        (pe.certificate_offset ? " (alignment and signature table)" : ""));

  ReportSignature(options, pe, report);
  const uint32_t checksum = ComputePeChecksum(file, pe.checksum_offset);
  report.Line("PE checksum", Hex(pe.checksum) + (pe.checksum == checksum
                                                     ? " (matches)"
                                                     : " (the file sums to " + Hex(checksum) + ")"));

  TempFolder work;
  const std::string archive = work.path() + "/package.7z";
  {
    std::ofstream copy(archive, std::ios::binary);
    copy.write(reinterpret_cast<const char*>(file.data() + archive_offset),
               static_cast<std::streamsize>(start.archive_size));
    if (!copy) throw Error("cannot write " + archive);
  }

  const std::vector<ArchiveEntry> entries = ListArchive(options.tools.seven_zip, archive);
  uint64_t sum = 0;
  size_t files = 0;
  std::vector<std::string> refused;
  std::map<int, std::pair<size_t, uint64_t>> blocks;  // block -> items, unpacked bytes
  report.raw() << "Items (" << entries.size() << "):\n";
  for (const auto& entry : entries) {
    const std::string problem = ItemPathProblem(entry.path);
    const char* where = !problem.empty() ? "REFUSED       "
                        : GoesToInstallFolder(entry.path) ? "install folder"
                                                          : "version folder";
    report.raw() << "  " << where << "  block " << std::left << std::setw(3)
                 << (entry.block < 0 ? std::string("-") : std::to_string(entry.block)) << std::right
                 << std::setw(12) << (entry.folder ? std::string("folder") : std::to_string(entry.size))
                 << "  " << entry.path << '\n';
    if (entry.block >= 0) {
      ++blocks[entry.block].first;
      blocks[entry.block].second += entry.size;
    }
    if (!problem.empty()) refused.push_back(entry.path + ": " + problem + "; the installer skips it");
    sum += entry.size;
    files += entry.folder ? 0 : 1;
  }
  for (const auto& problem : refused) report.Problem(problem);
  std::string block_text = std::to_string(blocks.size()) + (blocks.size() == 1 ? " solid block" : " solid blocks");
  const char* separator = ": ";
  for (const auto& block : blocks) {
    block_text += separator + std::to_string(block.second.first) + " items, " +
                  std::to_string(block.second.second) + " bytes";
    separator = "; ";
  }
  report.Line("Blocks", block_text);
  report.Line("Total size", std::to_string(sum) + " bytes in " + std::to_string(files) + " files" +
                                (sum == header.total_size ? " (matches the header)" : ""));
  if (sum != header.total_size) {
    report.Problem("the header says " + std::to_string(header.total_size) +
                   " bytes, the items add up to " + std::to_string(sum));
  }

  std::string config;
  if (ExtractItem(options.tools.seven_zip, archive, "configurations/staticconfig.xml", &config) &&
      !config.empty()) {
    const StaticConfigVersion version = ReadStaticConfigVersion(config);
    if (version.version && VersionProblem(*version.version).empty()) {
      report.Line("Version", *version.version + " (configurations/staticconfig.xml)");
    } else {
      report.Problem("configurations/staticconfig.xml gives no usable version: " +
                     (version.version ? VersionProblem(*version.version) : version.problem));
    }
  } else {
    report.Problem("the package has no configurations/staticconfig.xml; the installation would fail");
  }

  std::string test_output;
  const bool tested = TestArchive(options.tools.seven_zip, archive, &test_output);
  report.Line("Archive test", tested ? "ok (7zz t)" : "FAILED (7zz t)");
  if (!tested) report.Problem("7zz t reports:\n" + test_output);

  report.Line("Result", report.ok() ? "OK" : std::to_string(report.problems()) + " problem(s)");
  return report.ok();
}

}  // namespace mkinstaller
