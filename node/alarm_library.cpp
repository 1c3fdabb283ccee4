#include "node/alarm_library.h"

#include <algorithm>
#include <cstring>

namespace tolvane::node {
namespace field_block {
namespace {

uint8_t* Field(uint8_t* block, int index) {
  if (!block || index < 0 || index >= kFields) return nullptr;
  return block + kFieldsOffset + static_cast<std::size_t>(index) * kFieldSize;
}

template <class T>
void SetNumber(uint8_t* block, int index, Type type, T value) {
  static_assert(sizeof(T) <= kValueSize);
  uint8_t* f = Field(block, index);
  if (!f) return;
  std::memset(f, 0, kFieldSize);
  f[0] = type;
  std::memcpy(f + 1, &value, sizeof value);  // the host is little-endian, as the block is
}

}  // namespace

void Init(uint8_t* block) {
  if (!block) return;
  std::memset(block, 0, kSize);
  std::memcpy(block, &kKind, sizeof kKind);
}

void SetInt16(uint8_t* block, int index, int16_t value) {
  SetNumber(block, index, kInt16, value);
}
void SetInt32(uint8_t* block, int index, int32_t value) {
  SetNumber(block, index, kInt32, value);
}
void SetFloat(uint8_t* block, int index, float value) {
  SetNumber(block, index, kFloat, value);
}
void SetDouble(uint8_t* block, int index, double value) {
  SetNumber(block, index, kDouble, value);
}

void SetText(uint8_t* block, int index, const std::string& text) {
  uint8_t* f = Field(block, index);
  if (!f) return;
  std::memset(f, 0, kFieldSize);
  f[0] = kText;
  std::memcpy(f + 1, text.data(), std::min(text.size(), kValueSize - 1));
}

void SetType(uint8_t* block, int index, uint8_t type) {
  uint8_t* f = Field(block, index);
  if (!f) return;
  std::memset(f, 0, kFieldSize);
  f[0] = type;
}

}  // namespace field_block

namespace {
const std::string kSendCall = "borvik_send_opmsg";
const std::string kFlexCall = "borvik_get_flex_value";
}  // namespace

AlarmLibrary::AlarmLibrary(SummaryQueue* queue) : queue_(queue) {}

void AlarmLibrary::SetQueue(SummaryQueue* queue) {
  std::lock_guard lock(m_);
  queue_ = queue;
}

std::vector<OperatorMessageRecord> AlarmLibrary::OperatorMessages() const {
  std::lock_guard lock(m_);
  return log_;
}

void AlarmLibrary::ClearOperatorMessages() {
  std::lock_guard lock(m_);
  log_.clear();
}

short AlarmLibrary::SendOperatorMessage(const char* text, const char* nodeName, int flag) {
  if (short status = faults_.Check(kSendCall); status != 0) return status;
  OperatorMessageRecord rec;
  rec.text = text ? text : "";
  rec.hasNode = nodeName != nullptr;
  rec.node = nodeName ? nodeName : "";
  rec.flag = flag;
  rec.time = Clock::now();
  SummaryQueue* queue;
  {
    std::lock_guard lock(m_);
    queue = queue_;
  }
  // The queue takes its own lock; ours is not held across it.
  if (queue) queue->AddOperatorMessage(rec.text, rec.node, rec.time);
  std::lock_guard lock(m_);
  log_.push_back(std::move(rec));
  return 0;
}

short AlarmLibrary::GetFlexValue(const void* block, short index, char* valueBuffer, short* type,
                                 short*, short*) {
  using namespace field_block;
  if (short status = faults_.Check(kFlexCall); status != 0) return status;
  if (!block || !valueBuffer || !type) return kBadIndex;
  if (index < 0 || index >= kFields) return kBadIndex;
  const auto* bytes = static_cast<const uint8_t*>(block);
  int16_t kind;
  std::memcpy(&kind, bytes, sizeof kind);
  if (kind != kKind) return kNotFieldBlock;
  const uint8_t* f = bytes + kFieldsOffset + static_cast<std::size_t>(index) * kFieldSize;
  *type = f[0];
  if (f[0] == kText) {
    std::size_t n = ::strnlen(reinterpret_cast<const char*>(f + 1), kValueSize);
    std::memcpy(valueBuffer, f + 1, n);
    valueBuffer[n] = '\0';
  } else {
    std::memcpy(valueBuffer, f + 1, kValueSize);
  }
  return kOk;
}

}  // namespace tolvane::node
