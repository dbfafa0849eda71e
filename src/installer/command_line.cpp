#include "installer/command_line.h"

namespace {

std::wstring WithoutQuotes(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text)
    if (c != L'"') out += c;
  return out;
}

}  // namespace

// One left-to-right scan over the text and its terminating zero. An option
// starts at '-' or '/' and ends at a blank outside quotes or at the end of the
// text; an option whose quote is never closed therefore never ends and is
// dropped. Every '=' of an option splits it again, so "/D=a=b" names "D=a".
bool CCommandLine::ParseCommandLine(const wchar_t* text) {
  if (!text) return false;
  text_ = text;
  const std::wstring& s = text_;

  bool in_option = false;
  bool has_value = false;
  bool in_quotes = false;
  size_t name_start = 0;
  size_t value_start = 0;
  std::wstring name;
  for (size_t i = 0; i <= s.size(); ++i) {
    const wchar_t c = i < s.size() ? s[i] : L'\0';
    if (!in_option) {
      if (c == L'-' || c == L'/') {
        in_option = true;
        name_start = i + 1;
      }
      continue;
    }
    if (c == L'=') {
      has_value = true;
      name = s.substr(name_start, i - name_start);
      value_start = i + 1;
    } else if (c == L'"') {
      in_quotes = !in_quotes;
    } else if ((c == L' ' || c == L'\0') && !in_quotes) {
      if (has_value)
        options_[name] = WithoutQuotes(s.substr(value_start, i - value_start));
      else
        options_[s.substr(name_start, i - name_start)] = L"1";
      in_option = false;
      has_value = false;
    }
  }
  return true;
}

bool CCommandLine::HasOption(const std::wstring& name) const {
  return options_.count(name) != 0;
}

std::wstring CCommandLine::OptionValue(const std::wstring& name) const {
  const auto it = options_.find(name);
  return it == options_.end() ? std::wstring() : it->second;
}
