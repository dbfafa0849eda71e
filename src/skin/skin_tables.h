#pragma once
// The three process-wide tables read from the program's resources at
// start-up: strings (201), skins (202) and styles (203). After start-up they
// are only read, on the UI thread.

#include <map>
#include <memory>
#include <string>

#include "skin/swskin.h"
#include "skin/swstyle.h"

enum SkinResourceId {
  kStringTableId = 201,
  kSkinTableId = 202,
  kStyleTableId = 203,
  kMainLayoutId = 500,
  kMessageBoxLayoutId = 501,
};

using StringTable = std::map<std::wstring, std::wstring>;
using SkinTable = std::map<std::string, std::unique_ptr<CSWSkin>>;
using StyleTable = std::map<std::string, std::unique_ptr<CSWStyle>>;

// Fill a table from a document's text: entries are read in document order
// until the first bad one (no attributes, no id, a comment); a later entry
// with the same id replaces the earlier one. 1 when the root had entries and
// all were read, 0 otherwise. Skins load their images, so GDI+ must be started.
int FillStringTable(const std::string& xml, StringTable& table);
int FillSkinTable(const std::string& xml, SkinTable& table);
int FillStyleTable(const std::string& xml, StyleTable& table);

// Build the process-wide tables from the resources. LoadStringTable runs
// first (also without windows); the other two after GDI+ is started.
int LoadStringTable();
int LoadSkinTable();
int LoadStyleTable();

// The stored text, or an empty text for an unknown id.
std::wstring GetString(const std::wstring& id);
// Null for an unknown id.
CSWSkin* GetSkin(const std::string& id);
CSWStyle* GetStyle(const std::string& id);
