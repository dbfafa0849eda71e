#pragma once
// The installer's command line: options written "/NAME", "-NAME" or
// "/NAME=VALUE", separated by blanks; a value may hold blanks inside double
// quotes, which are removed from it.

#include <map>
#include <string>

class CCommandLine {
 public:
  // Stores the text and fills the option map; false only for a null text.
  bool ParseCommandLine(const wchar_t* text);

  // Names are compared exactly, case-sensitively ("S" is not "s").
  bool HasOption(const std::wstring& name) const;
  // The option's value; empty when the option is absent.
  std::wstring OptionValue(const std::wstring& name) const;

  const std::wstring& text() const { return text_; }
  const std::map<std::wstring, std::wstring>& options() const { return options_; }

 private:
  std::wstring text_;
  std::map<std::wstring, std::wstring> options_;
};
