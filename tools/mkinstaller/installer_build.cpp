#include "installer_build.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "archive_tool.h"
#include "error.h"
#include "payload.h"
#include "run_process.h"

namespace fs = std::filesystem;

namespace mkinstaller {

namespace {

// Removes a half-written output file unless the build completed.
class PartialFile {
 public:
  explicit PartialFile(std::string path) : path_(std::move(path)) {}
  ~PartialFile() {
    if (!kept_) {
      std::error_code ec;
      fs::remove(path_, ec);
    }
  }
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

bool Inside(const fs::path& path, const fs::path& folder) {
  std::error_code ec;
  const fs::path p = fs::weakly_canonical(path, ec);
  const fs::path f = fs::weakly_canonical(folder, ec);
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
    if (fi->empty()) continue;
    if (pi == p.end() || *pi != *fi) return false;
  }
  return true;
}

// The output must not overwrite an input, nor land where the next build packs it.
void CheckOutputPath(const BuildOptions& options, const std::string& package) {
  std::error_code ec;
  if (fs::equivalent(options.output, options.program, ec) ||
      (!options.archive.empty() && fs::equivalent(options.output, options.archive, ec))) {
    throw Error("the output " + options.output + " is one of the input files");
  }
  if (!package.empty() && Inside(options.output, package)) {
    throw Error("the output " + options.output +
                " lies inside the package folder; it would be packed by the next build");
  }
}

// Writes program + header + archive; the checksum is computed on the way.
void WriteInstaller(const std::string& path, Bytes program, const PeImage& pe,
                    uint32_t package_offset, uint32_t total_size, const std::string& archive) {
  WriteU32(program.data() + pe.time_stamp_offset, package_offset);
  WriteU32(program.data() + pe.checksum_offset, 0);
  const Bytes header = EncodePayloadHeader(total_size);

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::ifstream in(archive, std::ios::binary);
  if (!out) throw Error("cannot create " + path + ": " + std::strerror(errno));
  if (!in) throw Error("cannot read the archive " + archive);
  PeChecksum checksum;
  auto emit = [&](const uint8_t* data, size_t size) {
    checksum.Update(data, size);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  };
  emit(program.data(), program.size());
  emit(header.data(), header.size());
  std::vector<uint8_t> buffer(1 << 20);
  while (in) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0) emit(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw Error("cannot read the archive " + archive);
  uint8_t sum[4];
  WriteU32(sum, checksum.Finish());
  out.seekp(pe.checksum_offset);
  out.write(reinterpret_cast<const char*>(sum), 4);
  out.close();
  if (!out) throw Error("cannot write " + path + ": " + std::strerror(errno));
}

uint64_t ListedSize(const Tools& tools, const std::string& archive) {
  uint64_t total = 0;
  try {
    for (const auto& entry : ListArchive(tools.seven_zip, archive)) total += entry.size;
  } catch (const Error&) {
    return 0;  // not an archive 7zz can read: a fixture of damaged data
  }
  return total;
}

std::optional<int64_t> SigningTime(const SignOptions& sign) {
  if (sign.time) return sign.time;
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch && *epoch) return std::strtoll(epoch, nullptr, 10);
  return std::nullopt;
}

void Sign(const Tools& tools, const SignOptions& sign, const std::string& path) {
  const std::string signed_path = path + ".signed";
  std::vector<std::string> command = {tools.osslsigncode, "sign", "-certs", sign.certificate,
                                      "-key", sign.key, "-h", "sha256", "-n", sign.description};
  if (!sign.password_file.empty()) command.insert(command.end(), {"-readpass", sign.password_file});
  if (!sign.url.empty()) command.insert(command.end(), {"-i", sign.url});
  if (const auto time = SigningTime(sign)) command.insert(command.end(), {"-time", std::to_string(*time)});
  command.insert(command.end(), {"-in", path, "-out", signed_path});
  PartialFile partial(signed_path);
  RunChecked(command, "signing with osslsigncode");
  std::error_code ec;
  fs::rename(signed_path, path, ec);
  if (ec) throw Error("cannot replace " + path + " by its signed copy: " + ec.message());
}

}  // namespace

PeImage CheckProgram(const Bytes& program, const std::string& path) {
  PeImage pe;
  try {
    pe = ParsePeImage(program.data(), program.size());
  } catch (const Error& e) {
    throw Error(path + " cannot carry a package: " + e.what());
  }
  if (pe.is_dll) throw Error(path + " is a DLL, not a program");
  if (pe.certificate_offset != 0) {
    throw Error(path + " is signed already; build from the unsigned program and sign the "
                "finished installer (--sign-cert, --sign-key), since appending the package "
                "breaks the signature");
  }
  if (pe.known_end < program.size()) {
    const uint64_t p = pe.time_stamp;
    if (p + kPayloadHeaderSize <= program.size() && DecodePayloadHeader(program.data() + p).magic_ok) {
      throw Error(path + " carries a package already; build from the plain installer program");
    }
    throw Error(path + " has " + std::to_string(program.size() - pe.known_end) +
                " bytes of unknown data behind its image; build from the plain installer program");
  }
  return pe;
}

BuildResult BuildInstaller(const BuildOptions& options) {
  const Bytes program = ReadFile(options.program);
  const PeImage pe = CheckProgram(program, options.program);
  BuildResult result;
  TempFolder work;
  std::string archive = options.archive;
  if (archive.empty()) {
    result.package = ReadPackage(options.package);
    CheckOutputPath(options, options.package);
    CheckPayloadFits(program.size(), 0, result.package.total_size);
    archive = work.path() + "/package.7z";
    // Blocks of equal decoding work rather than of equal size: a block of
    // incompressible data takes several times as long to decode as one of
    // code or text of the same size.
    const std::vector<uint64_t> costs =
        EstimateDecodeCosts(options.tools.seven_zip, result.package, work.path());
    uint64_t total_cost = 0;
    for (uint64_t cost : costs) total_cost += cost;
    result.blocks = CreatePackageArchive(options.tools.seven_zip, result.package, archive, work.path(),
                                         options.blocks.value_or(DefaultBlockCount(total_cost)), costs,
                                         options.progress);
  } else {
    CheckOutputPath(options, "");
    std::error_code ec;
    if (!fs::is_regular_file(archive, ec)) throw Error("the archive " + archive + " does not exist");
    result.package.total_size =
        options.total_size ? *options.total_size : ListedSize(options.tools, archive);
  }
  result.package_offset = static_cast<uint32_t>(program.size());
  result.archive_size = fs::file_size(archive);
  CheckPayloadFits(program.size(), result.archive_size, result.package.total_size);

  PartialFile partial(options.output + ".part");
  WriteInstaller(partial.path(), program, pe, result.package_offset,
                 static_cast<uint32_t>(result.package.total_size), archive);
  if (options.sign) {
    Sign(options.tools, *options.sign, partial.path());
    result.is_signed = true;
  }

  // The signer rewrites the file: make sure what the installer reads survived.
  const Bytes written = ReadFile(partial.path());
  if (written.size() > kMaxFileSize) {
    throw Error("the signed installer is " + std::to_string(written.size()) +
                " bytes; the installer reads files of at most 4294967295 bytes");
  }
  const PeImage check = ParsePeImage(written.data(), written.size());
  if (check.time_stamp != result.package_offset ||
      !DecodePayloadHeader(written.data() + result.package_offset).magic_ok) {
    throw Error("the package offset or header did not survive signing");
  }
  result.file_size = written.size();

  std::error_code ec;
  fs::rename(partial.path(), options.output, ec);
  if (ec) throw Error("cannot write " + options.output + ": " + ec.message());
  partial.Keep();
  return result;
}

}  // namespace mkinstaller
