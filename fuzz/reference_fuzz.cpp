// Alarm references typed or stored by a client: the reference reader, and
// every manager operation that takes a reference, node or tag, against a
// fresh embedded node holding a few alarms.
//
// Input: one byte of flags (sort direction, quiet, the text as a filter
// too), one byte of sort key, then the text. The text up to its first NUL
// is the reference; a '/' in it splits node and tag for GetAlarmHandle. The
// whole text (NULs kept) is also a block of 64-byte references for
// RemoveAlarmsByRef.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "manager/alarm_reference.h"
#include "node/embedded_node.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/oleauto.h"
#include "tolvane/result_codes.h"

namespace {

using tolvane::fuzz::ExactText;
using tolvane::node::AlarmInput;
using tolvane::node::EmbeddedNode;

void Raise(EmbeddedNode& node, const std::string& nodeName, const std::string& physical,
           const std::string& tag, char letter, int16_t number, bool acked, int32_t msgType = 1) {
  node.database().AddNode(nodeName);
  node.database().AddBlock(nodeName, tag, letter, number);
  node.database().SetField(nodeName, tag, "B_NALM", acked ? 0 : 1);
  node.database().SetField(nodeName, tag, "B_CUALM", 1539);
  AlarmInput in;
  in.node = nodeName;
  in.physicalNode = physical;
  in.tag = tag;
  in.blockLetter = letter;
  in.blockNumber = number;
  in.priority = 5;
  in.statusCode = 1539;
  in.acknowledged = acked;
  in.msgType = msgType;
  in.value.kind = 1;
  in.value.value.i16 = 42;
  node.queue().Raise(in);
}

// Result codes the operations may give: their own, or a database status.
bool KnownResult(short r) {
  return r >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::QuietProcess();
  tolvane::fuzz::Reader in(data, size);
  const uint8_t flags = in.Byte();
  const long sortCode = (flags & 1 ? -1 : 1) * static_cast<long>(in.Byte() % 20);
  const short quiet = static_cast<short>(flags & 2 ? 1 : 0);
  std::string_view raw = in.Rest();
  std::string_view text = raw.substr(0, raw.find('\0'));

  // The reader on the bare bytes, with no terminator to stop it.
  {
    std::unique_ptr<char[]> bare(new char[raw.size() + 1]);
    std::memcpy(bare.get(), raw.data(), raw.size());
    tolvane::AlarmReference ref;
    if (tolvane::ReadReference(bare.get(), raw.size(), &ref)) {
      TOLVANE_FUZZ_CHECK(ref.node[tolvane::kRefNodeSize - 1] == '\0');
      TOLVANE_FUZZ_CHECK(ref.node[0] != '\0');
    }
  }
  // What is written reads back as written, when it fits the reader.
  {
    tolvane::AlarmReference ref;
    if (tolvane::ReadCallerReference(ExactText(text).get(), &ref)) {
      char written[tolvane::kReferenceSize];
      tolvane::WriteReference(written, ref.letter, ref.number, ref.node);
      tolvane::AlarmReference back;
      bool digitNode = ref.node[0] >= '0' && ref.node[0] <= '9';
      if (!digitNode) {
        TOLVANE_FUZZ_CHECK(tolvane::ReadReference(written, sizeof written, &back));
        TOLVANE_FUZZ_CHECK(back.letter == ref.letter && back.number == ref.number);
        TOLVANE_FUZZ_CHECK(std::strcmp(back.node, ref.node) == 0);
      }
    }
  }

  EmbeddedNode node;
  node.SetLocalNames({"PLANT1", "PLANT1A", "PLANT1B"});
  Raise(node, "PLANT1", "PLANT1", "PUMP_101", 'A', 12, false);
  Raise(node, "NODE2", "PHYS2", "TANK7", 'B', -5, false);
  Raise(node, "NODE2", "PHYS2", "VALVE_9", 'A', 12, true);
  Raise(node, "LONGNAM8", "LONGNAM8", "FLOW", 'Z', 32767, false);
  node.queue().AddOperatorMessage("shift change", "PLANT1");

  {
    CVeltAlmSummMgr manager;
    short handle = manager.GetAlarmClientHandle();
    TOLVANE_FUZZ_CHECK(handle != tolvane::kNoHandle);

    char out[tolvane::kReferenceSize];
    std::memset(out, 'x', sizeof out);
    std::size_t slash = text.find('/');
    std::string_view nodeName = slash == std::string_view::npos ? "PLANT1" : text.substr(0, slash);
    std::string_view tag = slash == std::string_view::npos ? text : text.substr(slash + 1);
    short r = manager.GetAlarmHandle(handle, ExactText(nodeName).get(), ExactText(tag).get(), out);
    TOLVANE_FUZZ_CHECK(r == tolvane::kOk || r == tolvane::kNoAlarmForTag);
    TOLVANE_FUZZ_CHECK(std::memchr(out, '\0', sizeof out) != nullptr);
    if (r == tolvane::kNoAlarmForTag) TOLVANE_FUZZ_CHECK(out[0] == '\0');

    TOLVANE_FUZZ_CHECK(
        KnownResult(manager.AcknowledgeAlarmByRef(handle, ExactText(text).get(), quiet)));
    TOLVANE_FUZZ_CHECK(KnownResult(manager.MarkAsAcknowledgedByRef(handle, ExactText(text).get())));
    TOLVANE_FUZZ_CHECK(
        KnownResult(manager.ManuallyDeleteAlarmByRef(handle, ExactText(text).get(), quiet)));

    // A block of whole references, exactly as long as its count says.
    int count = static_cast<int>(raw.size() / tolvane::kReferenceSize);
    std::unique_ptr<char[]> block(
        new char[count ? raw.size() / tolvane::kReferenceSize * tolvane::kReferenceSize : 1]);
    std::memcpy(block.get(), raw.data(), static_cast<std::size_t>(count) * tolvane::kReferenceSize);
    r = manager.RemoveAlarmsByRef(handle, block.get(), sortCode, count, quiet);
    TOLVANE_FUZZ_CHECK(r == tolvane::kOk || r == tolvane::kFailed);

    // The reference handed out for the local node carries its alias, and
    // still names the alarm.
    std::memset(out, 0, sizeof out);
    if (manager.GetAlarmHandle(handle, ExactText("plant1").get(), ExactText("PUMP_101").get(),
                               out) == tolvane::kOk) {
      TOLVANE_FUZZ_CHECK(std::strcmp(out, "A12PLANT1B") == 0);
      TOLVANE_FUZZ_CHECK(manager.MarkAsAcknowledgedByRef(handle, out) == tolvane::kOk);
    }
    // The text as an operator's filter for the operations that take one:
    // fetch agrees with the validation and returns no more than the queue has.
    if (flags & 4) {
      auto filter = ExactText(text);
      const bool valid = manager.ValidateFilterString(filter.get()) == tolvane::kOk;
      VARIANT page;
      VariantInit(&page);
      short rows = -1;
      const std::size_t queued = node.queue().Size();
      r = manager.FetchAlarmsByRef(&page, 100, filter.get(), sortCode, handle, &rows);
      TOLVANE_FUZZ_CHECK(r == (valid ? tolvane::kOk : tolvane::kBadFilter));
      if (valid) TOLVANE_FUZZ_CHECK(rows >= 0 && static_cast<std::size_t>(rows) <= queued);
      VariantClear(&page);
      r = manager.AcknowledgeAllAlarmsByRef(filter.get(), handle, quiet);
      TOLVANE_FUZZ_CHECK(KnownResult(r));
      r = manager.RemoveAllAlarmsByRef(handle, filter.get(), quiet);
      TOLVANE_FUZZ_CHECK(KnownResult(r));
    }
    manager.FreeAlarmClientHandle(handle);
  }
  return 0;
}
