#include "node/node_services.h"

namespace tolvane::node {
namespace {
const std::string kNodeCall = "quinthe_get_local_node";
const std::string kAlias1Call = "quinthe_get_local_alias1";
const std::string kAlias2Call = "quinthe_get_local_alias2";
}  // namespace

void NodeServices::SetNames(const LocalNames& names) {
  std::lock_guard lock(m_);
  names_ = names;
}

LocalNames NodeServices::names() const {
  std::lock_guard lock(m_);
  return names_;
}

short NodeServices::Get(const std::string& call, std::string LocalNames::*member,
                        std::string* out) {
  if (short status = faults_.Check(call); status != 0) return status;
  if (!out) return -1;
  std::lock_guard lock(m_);
  *out = names_.*member;
  return 0;
}

short NodeServices::GetLocalNode(std::string* name) {
  return Get(kNodeCall, &LocalNames::name, name);
}
short NodeServices::GetLocalAlias1(std::string* alias) {
  return Get(kAlias1Call, &LocalNames::alias1, alias);
}
short NodeServices::GetLocalAlias2(std::string* alias) {
  return Get(kAlias2Call, &LocalNames::alias2, alias);
}

}  // namespace tolvane::node
