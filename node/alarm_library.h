// The node's alarm library (the alarm-library backend): sends operator
// messages into the summary queue and an operator-message log, and reads the
// fields of an alarm's 170-byte field block (docs/field-block.md).
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "node/fault_injection.h"
#include "node/summary_queue.h"
#include "services/borvik.h"

namespace tolvane::node {

// The field block: a kind word (1 = field block) then eight fields of 21
// bytes, each a type code byte and 20 value bytes.
namespace field_block {

inline constexpr std::size_t kSize = 170;
inline constexpr int16_t kKind = 1;
inline constexpr std::size_t kFieldsOffset = 2;
inline constexpr std::size_t kFieldSize = 21;
inline constexpr std::size_t kValueSize = 20;
inline constexpr int kFields = 8;

enum Type : uint8_t {
  kEmpty = 0,
  kInt16 = 2,
  kInt32 = 3,
  kFloat = 4,
  kDouble = 5,
  kText = 8,
};

// Statuses of a read.
inline constexpr short kOk = 0;
inline constexpr short kBadIndex = 1;       // index outside 0..7
inline constexpr short kNotFieldBlock = 2;  // kind word is not 1

// A zeroed block with the kind word set.
void Init(uint8_t* block);
void SetInt16(uint8_t* block, int index, int16_t value);
void SetInt32(uint8_t* block, int index, int32_t value);
void SetFloat(uint8_t* block, int index, float value);
void SetDouble(uint8_t* block, int index, double value);
// At most 19 characters are kept.
void SetText(uint8_t* block, int index, const std::string& text);
// Any type code, value bytes zeroed (for unusual blocks).
void SetType(uint8_t* block, int index, uint8_t type);

}  // namespace field_block

struct OperatorMessageRecord {
  std::string text;
  std::string node;  // empty when sent with no node
  bool hasNode = false;
  int flag = 0;
  Clock::time_point time;
};

class AlarmLibrary : public AlarmLibraryBackend {
 public:
  // `queue` (may be null) receives every message sent; it must outlive this.
  explicit AlarmLibrary(SummaryQueue* queue = nullptr);

  void SetQueue(SummaryQueue* queue);

  // Messages sent so far, oldest first.
  std::vector<OperatorMessageRecord> OperatorMessages() const;
  void ClearOperatorMessages();

  // "borvik_send_opmsg" and "borvik_get_flex_value" can be made to fail; a
  // failed send reaches neither the queue nor the log.
  FaultInjector& faults() { return faults_; }

  // --- AlarmLibraryBackend ---
  short SendOperatorMessage(const char* text, const char* nodeName, int flag) override;
  short GetFlexValue(const void* block, short index, char* valueBuffer, short* type, short* extra1,
                     short* extra2) override;

 private:
  mutable std::mutex m_;
  SummaryQueue* queue_;
  std::vector<OperatorMessageRecord> log_;
  FaultInjector faults_;
};

}  // namespace tolvane::node
