#include "common/utilfunc.h"
#include "common/wait_limit.h"
#include "libinstall/setupitem.h"
#include "libinstall/setupstrategies.h"

int CSetupStrategyForProcess::LoadCfg(const boost::property_tree::ptree& node) {
  for (const auto& child : node) {
    const auto& attributes = setupitem::Attributes(child);
    Item item;
    item.path = SetupVariables::Expand(setupitem::WideText(attributes, "path"));
    item.param = SetupVariables::Expand(setupitem::WideText(attributes, "param"));
    item.wait = static_cast<int>(setupitem::Number(attributes, "wait"));
    item.show = setupitem::Has(attributes, "show") && setupitem::Text(attributes, "show") != "0";
    items_.push_back(std::move(item));
  }
  return 1;
}

void CSetupStrategyForProcess::Install() { Run(); }

void CSetupStrategyForProcess::UnInstall() { Run(); }

void CSetupStrategyForProcess::Run() {
  // A negative wait becomes a huge unsigned count; -1 is INFINITE. A silent
  // run waits for a helper within its own limit only.
  for (const Item& item : items_)
    UtilFunc::RunProcess(item.path, item.param, item.show, run_deadline::Bound(static_cast<unsigned>(item.wait)),
                         nullptr);
}
