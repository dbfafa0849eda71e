#pragma once
// The install driver: unpacks the package appended to the installer, places
// its files below the install folder (the application's files in a folder
// named after its version), and carries out the install rules of the
// package's "setup.xml".
//
//   IInstall* install = CreateInstall();
//   install->Init(callback, DecompressStart::kInBackground);  // decoding starts now
//   install->SetInstallPath(folder);
//   install->StartInstall(0);           // stages 1..4 arrive on the install thread
//
// Install folder layout afterwards:
//   <folder>\Orvanta.exe ...           package items whose path begins with "..\"
//   <folder>\<version>\...             every other item, plus "Quorix.zk"
//
// An update is one transaction (see install_switch.h): the whole package is
// first decoded, checked and written into the extraction folder
// "{VersionNameFolder}" (the install-folder items into its sub-folder
// "{InstallFolderItems}") and flushed (as it is written where the install
// folder held anything, else only if the switch turns out to put something
// aside); everything that can still fail is checked; only then does a
// journaled switch of renames put the new version in place of the old one,
// undone in reverse at any failure. A run killed
// before the switch leaves the extraction folder, one killed in it the
// journal: the next run removes the one and finishes the other first.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "libinstall/install_switch.h"
#include "libinstall/installstrategy.h"
#include "libinstall/packageextract.h"
#include "libinstall/versionfolder.h"

// Stages reported through IInstallCallBack::OnInstallProgress.
enum InstallStage : int {
  kStageDecompressing = 0,  // an item is about to be decompressed (item count, index)
  kStageWritten = 1,        // an item has been written to its file (item count, index)
  kStageSetupConfig = 2,    // the setup rules are about to run
  kStageFinished = 3,
  kStageFailed = 4,
};

// Receives the driver's reports, always on one of its worker threads.
class IInstallCallBack {
 public:
  virtual void OnInstallProgress(int stage, int total, int current) = 0;
  // Total unpacked size of the package in bytes: the disk space needed.
  virtual void OnPackageSize(unsigned size) = 0;

 protected:
  ~IInstallCallBack() = default;
};

// How an installation ended; kPending until stage 3 or 4 was reached.
// kStopped: the silent time limit stopped it before the switch.
enum class InstallOutcome { kPending, kFinished, kFailed, kStopped };

// When the package is decoded: in the background from Init on, into memory
// within a budget (the window: decoding overlaps the user's first page), or
// by the install thread straight into the files (the silent installation).
enum class DecompressStart { kInBackground, kOnInstall };

class IInstall {
 public:
  // Stores the callback (may be null) and, with kInBackground, starts
  // decompressing. Returns 1.
  virtual int Init(IInstallCallBack* callback, DecompressStart start) = 0;
  // A backslash is appended unless the folder ends in one.
  virtual void SetInstallPath(const wchar_t* folder) = 0;
  // Non-zero: leave out the setup rules.
  virtual void SetSkipSetupConfig(int flag) = 0;
  // Starts the install thread; with a non-zero `wait` waits for it for at
  // most ten minutes, then stops its decoding and writing and waits until it
  // has cleaned up or finished its switch. 1 when the thread was started, 0
  // when it could not be.
  virtual int StartInstall(int wait) = 0;
  virtual InstallOutcome GetOutcome() const = 0;
  virtual ~IInstall() = default;
};

// A new driver, for one installation.
IInstall* CreateInstall();
// The same, with StartInstall(1) waiting at most `wait_limit_ms`.
IInstall* CreateInstall(DWORD wait_limit_ms);

// File and folder names of the package and the install folder.
inline constexpr wchar_t kSetupFileName[] = L"setup.xml";

// A version string that names exactly one folder directly below the install
// folder and none of the installer's own (see common/version_rule.h).
bool IsUsableVersion(const std::wstring& version);

class CInstall : public IInstall, public IPackageExtractProgressCallBack {
 public:
  // `wait_limit_ms` bounds StartInstall(1); the installer uses ten minutes.
  explicit CInstall(DWORD wait_limit_ms = kWaitLimitMs);
  // Waits for the install and decompression threads first: they report
  // through the callback and use this object.
  ~CInstall() override;
  CInstall(const CInstall&) = delete;
  CInstall& operator=(const CInstall&) = delete;

  int Init(IInstallCallBack* callback, DecompressStart start) override;
  void SetInstallPath(const wchar_t* folder) override;
  void SetSkipSetupConfig(int flag) override;
  int StartInstall(int wait) override;
  InstallOutcome GetOutcome() const override { return outcome_.load(); }

  void OnExtractProgress(int kind, int total, int index) override;
  void OnExtractTotalSize(UINT32 size) override;

  static constexpr DWORD kWaitLimitMs = 600000;

 private:
  // The install thread's body: 0 on success, -1 on failure.
  int DoStartInstall();
  // Removes what a killed run left of the extraction folder; false (logged)
  // when it cannot be removed.
  bool RemoveLeftoverExtraction(const std::wstring& extraction_folder);
  // Creates the install folder when it is missing, with the rights the
  // program-files folder gives its sub-folders when it lies outside it; of an
  // existing one, says when other users may write into it. False (logged)
  // when it cannot be created.
  bool PrepareInstallFolder();
  // Creates the extraction folder as new, closed to other users, and holds
  // it (it cannot be renamed or deleted meanwhile) until the switch. False
  // (logged) when it cannot be created, also when it exists again.
  bool CreateExtractionFolder(const std::wstring& extraction_folder);
  // Writes the package below the extraction folder; false after an ERROR
  // record unless every decoder and the writer answered S_OK.
  bool WritePackage(const std::wstring& extraction_folder);
  // The silent path's free-space check before writing; false after an ERROR record.
  bool HasRoomForPackage() const;
  // Every item of the package is in the extraction folder with its size.
  bool VerifyWrittenItems(const std::wstring& extraction_folder) const;
  // "Quorix.zk", the library's copy, written (and flushed) like the package.
  bool CopyQuorixLibrary(const std::wstring& extraction_folder);
  // Adds the entries a first installation leaves in the install folder to
  // its list of found entries (see versionfolder.h). False when logged.
  bool RecordUserEntries(const std::vector<std::wstring>& found);
  static bool ListStagedItems(const std::wstring& extraction_folder, std::vector<std::wstring>* names);
  bool HoldsInstallation() const;
  // The install folder's entries that the new version replaces; false
  // (logged) when one of them cannot be moved aside or the version folder's
  // place holds a folder that is not the application's. `found`: the "new"
  // and version-named folders left because the folder holds no installation.
  bool CollectReplacedItems(const std::wstring& version, const std::vector<std::wstring>& staged,
                            std::vector<std::wstring>* replaced, std::vector<std::wstring>* found);
  // A failure before anything of the previous installation was touched.
  int FailBeforeSwitch(const std::wstring& extraction_folder);
  void Report(int stage);
  int Fail();
  void WaitForThreads();

  int skip_setup_config_ = 0;
  IInstallCallBack* callback_ = nullptr;
  std::wstring install_folder_;
  CPackageExtract package_;
  C7zDecompressImpl* decompress_ = nullptr;  // owned by package_
  UINT32 package_size_ = 0;                  // unpacked bytes, from the payload
  // Whether the write-out flushes each file: the install folder held
  // something when it began.
  bool flush_written_ = true;
  CInstallStrategy strategy_;
  tree::Folder extraction_;  // held from its creation until the switch
  DWORD wait_limit_ms_;
  std::atomic<InstallOutcome> outcome_{InstallOutcome::kPending};
  HANDLE install_thread_ = nullptr;  // kept by StartInstall(0) until destruction
  // Set by the install thread: from then on the written items measure the
  // progress, and reports of items starting to decode are dropped.
  std::atomic<bool> installing_{false};
  std::atomic<bool> stop_requested_{false};  // the silent time limit ran out
};
