#include "skin/skin_tables.h"

#include <boost/property_tree/xml_parser.hpp>

#include <cstring>
#include <sstream>

#include "skin/resource.h"
#include "skin/skin_values.h"

namespace {

using boost::property_tree::ptree;

// Parses a document's text up to its first NUL, without a leading UTF-8
// byte-order mark. Throws the reader's exceptions.
ptree ParseDocument(const std::string& xml) {
  std::string text(xml.c_str(), strlen(xml.c_str()));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::istringstream stream(text);
  ptree tree;
  boost::property_tree::read_xml(stream, tree);
  return tree;
}

// Reads the entries below `root_name` in document order with `add(entry,
// attributes, id)`, stopping at the first entry without attributes or id.
// 1 when every entry was read, 0 for no entries or an early stop.
template <typename AddEntry>
int ReadEntries(const std::string& xml, const char* root_name, AddEntry add) {
  try {
    const ptree tree = ParseDocument(xml);
    const ptree& root = tree.get_child(root_name);
    if (root.empty()) return 0;
    for (const auto& entry : root) {
      const ptree& attributes = entry.second.get_child("<xmlattr>");
      add(entry.second, attributes, attributes.get_child("id").data());
    }
    return 1;
  } catch (const boost::property_tree::ptree_error&) {
    return 0;
  }
}

StringTable& Strings() {
  static auto* table = new StringTable;
  return *table;
}

SkinTable& Skins() {
  static auto* table = new SkinTable;
  return *table;
}

StyleTable& Styles() {
  static auto* table = new StyleTable;
  return *table;
}

// Reads resource `id` of type "XML" into `table` with `fill`; 0 when the
// resource is missing.
template <typename Table>
int LoadTable(uint16_t id, int (*fill)(const std::string&, Table&), Table& table) {
  std::string xml;
  if (!LoadResourceBytes(id, L"XML", xml)) return 0;
  return fill(xml, table);
}

}  // namespace

int FillStringTable(const std::string& xml, StringTable& table) {
  return ReadEntries(xml, "strings", [&](const ptree& entry, const ptree&, const std::string& id) {
    table[skin::Utf8ToWide(id)] = skin::Utf8ToWide(entry.data());
  });
}

int FillSkinTable(const std::string& xml, SkinTable& table) {
  return ReadEntries(xml, "skins", [&](const ptree&, const ptree& attributes, const std::string& id) {
    auto skin = std::make_unique<CSWSkin>();
    skin->LoadAttributes(attributes);  // a skin without its image is kept all the same
    table[id] = std::move(skin);
  });
}

int FillStyleTable(const std::string& xml, StyleTable& table) {
  return ReadEntries(xml, "styles", [&](const ptree&, const ptree& attributes, const std::string& id) {
    auto style = std::make_unique<CSWStyle>();
    style->LoadAttributes(attributes);
    table[id] = std::move(style);
  });
}

int LoadStringTable() { return LoadTable<StringTable>(kStringTableId, FillStringTable, Strings()); }
int LoadSkinTable() { return LoadTable<SkinTable>(kSkinTableId, FillSkinTable, Skins()); }
int LoadStyleTable() { return LoadTable<StyleTable>(kStyleTableId, FillStyleTable, Styles()); }

std::wstring GetString(const std::wstring& id) {
  const auto found = Strings().find(id);
  return found == Strings().end() ? std::wstring() : found->second;
}

CSWSkin* GetSkin(const std::string& id) {
  const auto found = Skins().find(id);
  return found == Skins().end() ? nullptr : found->second.get();
}

CSWStyle* GetStyle(const std::string& id) {
  const auto found = Styles().find(id);
  return found == Styles().end() ? nullptr : found->second.get();
}
