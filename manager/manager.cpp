// Construction and destruction with the object count, client handles, the
// horn and the queue header.
#include <atomic>

#include "manager/field_cache.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

using tolvane::kFailed;
using tolvane::kNoHandle;
using tolvane::kOk;

unsigned int CVeltAlmSummMgr::m_uiObjectCount = 0;
unsigned int CVeltAlmSummMgr::m_uiClientHandleCount = 0;

namespace {

// The counter is a plain static that callers may read; updates are atomic so
// that concurrent clients never lose a count.
void AddToHandleCount(int delta) {
  std::atomic_ref<unsigned int> count(CVeltAlmSummMgr::m_uiClientHandleCount);
  count.fetch_add(static_cast<unsigned int>(delta), std::memory_order_relaxed);
}

void RegisterManager() {
  tolvane::ManagerShared& shared = tolvane::Shared();
  tolvane::CSingleLock hold(shared.lock);
  ++CVeltAlmSummMgr::m_uiObjectCount;
  if (!shared.serialMap) {
    // An allocation failure leaves the map absent, which reads as empty.
    try {
      shared.serialMap = std::make_unique<tolvane::SerialMap>();
    } catch (...) {
    }
  }
}

short HeaderField(CQuorlen& q, SUMQHDR* hdr) {
  ERROR_REC err{};
  *hdr = SUMQHDR{};
  q.sumqGethdr(&err, hdr);
  return err.status;
}

}  // namespace

CVeltAlmSummMgr::CVeltAlmSummMgr() {
  RegisterManager();
}

CVeltAlmSummMgr::CVeltAlmSummMgr(const CVeltAlmSummMgr& other) : m_quorlen(other.m_quorlen) {
  RegisterManager();
}

CVeltAlmSummMgr& CVeltAlmSummMgr::operator=(const CVeltAlmSummMgr&) {
  return *this;
}

CVeltAlmSummMgr::~CVeltAlmSummMgr() {
  tolvane::ManagerShared& shared = tolvane::Shared();
  tolvane::CSingleLock hold(shared.lock);
  if (m_uiObjectCount == 1) {
    shared.fieldMap.RemoveAll();
    shared.serialMap.reset();
  }
  --m_uiObjectCount;
}

short CVeltAlmSummMgr::GetAlarmClientHandle() {
  ERROR_REC err{};
  unsigned short handle = 0;
  unsigned char flag = 0;
  m_quorlen.sumqOpen(&err, &handle, &flag);
  AddToHandleCount(1);
  if (err.status != 0) return kNoHandle;
  return static_cast<short>(handle);
}

short CVeltAlmSummMgr::FreeAlarmClientHandle(short clientHandle) {
  if (clientHandle == kNoHandle) return kFailed;
  ERROR_REC err{};
  m_quorlen.sumqClose(&err, static_cast<unsigned short>(clientHandle));
  AddToHandleCount(-1);
  return err.status == 0 ? kOk : kFailed;
}

short CVeltAlmSummMgr::ConfigureHorn(short enable) {
  ERROR_REC err{};
  if (enable != 0) {
    m_quorlen.sumqHornEnable(&err);
  } else {
    m_quorlen.sumqHornDisable(&err);
  }
  return err.status == 0 ? kOk : kFailed;
}

short CVeltAlmSummMgr::SilenceHorn() {
  ERROR_REC err{};
  m_quorlen.sumqHornSquelch(&err);
  return err.status == 0 ? kOk : kFailed;
}

short CVeltAlmSummMgr::AlarmHornEnabled(short* enabled) {
  if (enabled) *enabled = 0;
  SUMQHDR hdr;
  if (HeaderField(m_quorlen, &hdr) != 0) return kFailed;
  if (enabled && hdr.hornEnabled != 0) *enabled = 1;
  return kOk;
}

// -1 on a queue failure: 100 would be indistinguishable from a real total.
long CVeltAlmSummMgr::GetTotalNumOfAlarms() {
  SUMQHDR hdr;
  if (HeaderField(m_quorlen, &hdr) != 0) return -1;
  return hdr.totalAlarms;
}

long CVeltAlmSummMgr::GetAlarmSequenceNumber() {
  SUMQHDR hdr;
  if (HeaderField(m_quorlen, &hdr) != 0) return -1;
  return hdr.sequenceNumber;
}
