#pragma once
// Reading the attributes of one item element of a rule kind.

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace setupitem {

// The item's attributes. An item without any (or a comment among the items)
// throws boost::property_tree::ptree_bad_path, which ends the whole load.
const boost::property_tree::ptree& Attributes(const boost::property_tree::ptree::value_type& item);

// The attribute's raw (UTF-8) text; empty when it is missing.
std::string Text(const boost::property_tree::ptree& attributes, const char* name);
bool Has(const boost::property_tree::ptree& attributes, const char* name);
// The attribute converted from UTF-8; empty when it is missing.
std::wstring WideText(const boost::property_tree::ptree& attributes, const char* name);
// The attribute's leading signed decimal number, read the way atol reads it
// (leading blanks and a sign allowed, stops at the first non-digit, no digits
// give 0, out-of-range values saturate); 0 when it is missing.
long Number(const boost::property_tree::ptree& attributes, const char* name);

}  // namespace setupitem
