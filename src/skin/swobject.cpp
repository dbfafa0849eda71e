#include "skin/swobject.h"

int CSWObject::LoadAttributes(const boost::property_tree::ptree& node) {
  for (const auto& child : node) SetAttribute(child.first, child.second.data());
  return 1;
}

int CSWObject::SetAttribute(std::string, std::string) { return 0; }
