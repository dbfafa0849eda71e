#include "skin/swcontrols.h"

#include <map>

#include "skin/swbutton.h"
#include "skin/swedit.h"
#include "skin/swimage.h"
#include "skin/swlist.h"
#include "skin/swprogressbar.h"
#include "skin/swscrollbar.h"
#include "skin/swtext.h"

namespace {
template <class T>
std::shared_ptr<CSWControl> Make() {
  return std::make_shared<T>();
}
}  // namespace

std::shared_ptr<CSWControl> CreateLeafControl(const std::string& elementName) {
  using Factory = std::shared_ptr<CSWControl> (*)();
  static const std::map<std::string, Factory> kFactories = {
      {"img", &Make<CSWImage>},
      {"gif", &Make<CSWGifImage>},
      {"text", &Make<CSWText>},
      {"link", &Make<CSWLink>},
      {"button", &Make<CSWButton>},
      {"checkbox", &Make<CSWCheckBox>},
      {"progressbar", &Make<CSWProgressBar>},
      {"edit", &Make<CSWEdit>},
      {"richedit", &Make<CSWRichEdit>},
      {"scrollbar", &Make<CSWScrollbar>},
      {"list", &Make<CSWList>},
  };
  auto it = kFactories.find(elementName);
  return it == kFactories.end() ? nullptr : it->second();
}
