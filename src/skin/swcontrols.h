#pragma once
// The concrete controls of the layouts, for the control factory.

#include <memory>
#include <string>

#include "skin/swcontrol.h"

// A new leaf control for a layout element name (text, link, button,
// checkbox, img, gif, progressbar, scrollbar, list, edit, richedit), or
// empty for a name that is none of them.
std::shared_ptr<CSWControl> CreateLeafControl(const std::string& elementName);
