// A manager with one client handle against a whole embedded node, and
// helpers to raise alarms and fetch pages.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

namespace tolvane::testing {

// The library caches the local names once per process, so every test of an
// executable uses these.
inline const node::LocalNames kLocalNames{"PLANT1", "PLANT1A", "PLANT1B"};

struct AlarmSpec {
  std::string node = "PLANT1";
  std::string physicalNode{};  // empty: same as node
  std::string tag{};
  char letter = 'A';
  int16_t number = 1;
  int16_t priority = 5;       // HIGH
  int32_t statusCode = 1539;  // "HI  "
  bool acknowledged = false;
  std::string description{};
  std::vector<std::string> areas{};
  int32_t msgType = 1;
  int16_t value = 0;
  node::Clock::time_point when = node::Clock::now();
};

struct Page {
  short result = -1;
  short rows = -1;
  std::size_t arrayBytes = 0;
  bool gotArray = false;
  VARTYPE vt = 0;
  std::vector<tagAlarmStr> data;      // the kept rows
  std::vector<unsigned char> rest;    // the bytes after the kept rows
};

class ManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    node_ = std::make_unique<node::EmbeddedNode>();
    node_->SetLocalNames(kLocalNames);
    mgr_ = std::make_unique<CVeltAlmSummMgr>();
    handle_ = mgr_->GetAlarmClientHandle();
    ASSERT_NE(handle_, kNoHandle);
  }
  void TearDown() override {
    mgr_->FreeAlarmClientHandle(handle_);
    mgr_.reset();
    node_.reset();
  }

  node::SummaryQueue& queue() { return node_->queue(); }
  node::ProcessDatabase& db() { return node_->database(); }

  // Adds the block to the database (node too) and raises its alarm.
  void Raise(const AlarmSpec& s) {
    db().AddNode(s.node);
    db().AddBlock(s.node, s.tag, s.letter, s.number);
    db().SetField(s.node, s.tag, "B_NALM", s.acknowledged ? 0 : 1);
    db().SetField(s.node, s.tag, "B_CUALM", static_cast<int16_t>(s.statusCode));
    node::AlarmInput in;
    in.node = s.node;
    in.physicalNode = s.physicalNode.empty() ? s.node : s.physicalNode;
    in.tag = s.tag;
    in.blockLetter = s.letter;
    in.blockNumber = s.number;
    in.priority = s.priority;
    in.statusCode = s.statusCode;
    in.acknowledged = s.acknowledged;
    in.description = s.description;
    in.areas = s.areas;
    in.msgType = s.msgType;
    in.value.kind = 1;
    in.value.value.i16 = s.value;
    queue().Raise(in, s.when);
  }

  Page Fetch(const char* filter = "", long sort = 1, long count = -1) {
    Page p;
    VARIANT v;
    VariantInit(&v);
    std::string f(filter);
    p.result = mgr_->FetchAlarmsByRef(&v, count, f.data(), sort, handle_, &p.rows);
    p.vt = v.vt;
    if (v.parray) {
      p.gotArray = true;
      p.arrayBytes = v.parray->rgsabound[0].cElements;
      const auto* bytes = static_cast<const unsigned char*>(v.parray->pvData);
      std::size_t kept = p.rows > 0 ? static_cast<std::size_t>(p.rows) : 0;
      p.data.resize(kept);
      if (kept) std::memcpy(p.data.data(), bytes, kept * sizeof(tagAlarmStr));
      p.rest.assign(bytes + kept * sizeof(tagAlarmStr), bytes + p.arrayBytes);
      VariantClear(&v);
    }
    return p;
  }

  // Alarms in the queue, not counting operator messages.
  std::size_t AlarmCount() {
    std::size_t n = 0;
    for (const tagAlarmStr& r : Fetch().data) n += r.reference[0] != '\0';
    return n;
  }

  std::unique_ptr<node::EmbeddedNode> node_;
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
};

inline std::string Ref(const tagAlarmStr& row) {
  return std::string(row.reference, ::strnlen(row.reference, sizeof row.reference));
}
inline std::string Tag(const tagAlarmStr& row) {
  return std::string(row.tagName, ::strnlen(row.tagName, sizeof row.tagName));
}

}  // namespace tolvane::testing
