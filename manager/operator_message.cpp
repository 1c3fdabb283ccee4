// Operator messages: each acknowledge or delete is announced to the alarm
// system with a template from the resource library.
#include <string>

#include "manager/template_format.h"
#include "services/borvik.h"
#include "services/resources.h"
#include "tolvane/CVeltAlmSummMgr.h"

namespace {

constexpr const char* kResourceModule = "TolvaneRes.dll";
constexpr std::size_t kMaxMessage = 132;

}  // namespace

short CVeltAlmSummMgr::SendOperatorMessage(char* nodeName, char* firstArg, char* secondArg,
                                           short action) {
  std::string tmpl;
  std::string message;
  int flag = 0;
  CVeltResourceManager* resources = GetResourceManager();
  auto load = [&](unsigned int id) {
    if (resources) resources->LoadStringA(kResourceModule, id, &tmpl);
  };
  switch (action) {
    case 1:
      load(1);
      message = tolvane::FillTemplate(tmpl, {secondArg}, kMaxMessage);
      break;
    case 2:  // templates 2 and 3 serve actions 3 and 2
      load(3);
      message = tmpl.substr(0, kMaxMessage);
      break;
    case 3:
      load(2);
      message = tolvane::FillTemplate(tmpl, {secondArg}, kMaxMessage);
      break;
    case 4:
      load(4);
      message = tolvane::FillTemplate(tmpl, {firstArg, secondArg}, kMaxMessage);
      flag = 1;
      break;
    case 5:
      load(5);
      message = tmpl.substr(0, kMaxMessage);
      flag = 1;
      break;
    default:
      break;
  }
  return borvik_send_opmsg(message.c_str(), nodeName, flag);
}
