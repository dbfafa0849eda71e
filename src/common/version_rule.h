#pragma once
// The one rule for an application version string, shared by the installer
// build tool, the installer and the uninstaller: the version names a folder
// directly below the install folder that the programs create, replace and
// delete, so it must name exactly one such folder and none of the installer's
// own. Portable (the build tool runs on the build machine): it works on any
// character type, wide or UTF-8.

#include <cstddef>
#include <string_view>
#include <type_traits>

enum class VersionProblem {
  kNone,
  kEmpty,
  kTooLong,              // more than kMaxVersionLength UTF-16 units: the uninstaller reads no more
  kForbiddenCharacter,   // < > : " / \ | ? * or a control character
  kDotDot,               // ".." anywhere
  kTrailingDotOrBlank,   // Windows drops them: "a." is "a", ".. " is the parent
  kReservedName,         // a folder of the installer's own, compared ignoring case
  kDeviceName,           // CON, NUL, COM1 ... (with or without an extension)
};

inline constexpr size_t kMaxVersionLength = 31;

namespace version_rule_detail {

template <typename Char>
char LowerAscii(Char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
}

template <typename Char>
bool EqualsIgnoringAsciiCase(std::basic_string_view<Char> text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] > 0x7F || LowerAscii(text[i]) != lower[i]) return false;
  return true;
}

// Code units the text takes in UTF-16: a wide text counts as it is, a UTF-8
// one by its lead bytes (four-byte sequences take two units).
template <typename Char>
size_t Utf16Units(std::basic_string_view<Char> text) {
  if constexpr (sizeof(Char) > 1) {
    return text.size();
  } else {
    size_t units = 0;
    for (Char c : text) {
      const unsigned char byte = static_cast<unsigned char>(c);
      if ((byte & 0xC0) != 0x80) ++units;
      if ((byte & 0xF8) == 0xF0) ++units;
    }
    return units;
  }
}

}  // namespace version_rule_detail

template <typename Char>
VersionProblem CheckVersion(std::basic_string_view<Char> version) {
  using namespace version_rule_detail;
  if (version.empty()) return VersionProblem::kEmpty;
  if (Utf16Units(version) > kMaxVersionLength) return VersionProblem::kTooLong;
  constexpr std::string_view forbidden = "<>:\"/\\|?*";
  for (Char c : version) {
    const auto code = static_cast<unsigned long>(static_cast<std::make_unsigned_t<Char>>(c));
    if (code < 0x20 || code == 0x7F || (code < 0x80 && forbidden.find(static_cast<char>(code)) != forbidden.npos))
      return VersionProblem::kForbiddenCharacter;
  }
  for (size_t i = 0; i + 1 < version.size(); ++i)
    if (version[i] == '.' && version[i + 1] == '.') return VersionProblem::kDotDot;
  if (version.back() == '.' || version.back() == ' ') return VersionProblem::kTrailingDotOrBlank;
  for (std::string_view own : {"new", "{versionnamefolder}", "{installfolderitems}", "{replaceditems}", "{setupjournal}"})
    if (EqualsIgnoringAsciiCase(version, own)) return VersionProblem::kReservedName;
  // A device name stays one with any extension: "nul.txt" is NUL.
  const std::basic_string_view<Char> stem = version.substr(0, version.find('.'));
  for (std::string_view device : {"con", "prn", "aux", "nul"})
    if (EqualsIgnoringAsciiCase(stem, device)) return VersionProblem::kDeviceName;
  if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9')
    for (std::string_view device : {"com", "lpt"})
      if (EqualsIgnoringAsciiCase(stem.substr(0, 3), device)) return VersionProblem::kDeviceName;
  return VersionProblem::kNone;
}

template <typename Char>
VersionProblem CheckVersion(const Char* version) {
  return CheckVersion(std::basic_string_view<Char>(version));
}
