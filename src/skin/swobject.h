#pragma once
// Base of every object configured from XML attributes: skins, styles,
// controls and windows.

#include <boost/property_tree/ptree.hpp>

#include <string>

class CSWObject {
 public:
  virtual ~CSWObject() = default;

  // True when `name` is the element or type name of the most-derived class.
  virtual bool IsType(const std::string& name) const = 0;

  // Calls SetAttribute(name, value) for every child of `node` (an
  // "<xmlattr>" node) in document order. Returns 1.
  virtual int LoadAttributes(const boost::property_tree::ptree& node);

  // Returns 1 when the name was handled. Overrides call their base first and
  // return 1 at once when the base handled the name.
  virtual int SetAttribute(std::string name, std::string value);
};
