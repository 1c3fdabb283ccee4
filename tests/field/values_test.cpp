#include "field/values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "field/poll_plan.h"

namespace {

using tolvane::field::DecodeRegisters;
using tolvane::field::PlanPolls;
using tolvane::field::ReadPayload;
using tolvane::field::SourcePoint;
using tolvane::field::Table;
using tolvane::field::ValueType;
using Q = tolvane::node::FieldQuality;

SourcePoint Point(ValueType type, std::string pointer = "") {
  SourcePoint p;
  p.type = type;
  p.jsonPointer = std::move(pointer);
  return p;
}

TEST(Payload, ReadsNumbersAndRefusesTheRest) {
  struct {
    std::string payload;
    SourcePoint point;
    Q quality;
    double value;
  } cases[] = {
      {"42.5", Point(ValueType::kFloat64), Q::kGood, 42.5},
      {"  -3e2\n", Point(ValueType::kFloat64), Q::kGood, -300},
      {"true", Point(ValueType::kBool), Q::kGood, 1},
      {"0", Point(ValueType::kBool), Q::kGood, 0},
      {"2", Point(ValueType::kBool), Q::kRange, 0},
      {"", Point(ValueType::kFloat64), Q::kBad, 0},
      {"hello", Point(ValueType::kFloat64), Q::kBad, 0},
      {"nan", Point(ValueType::kFloat64), Q::kBad, 0},
      {"inf", Point(ValueType::kFloat64), Q::kBad, 0},
      {"0x10", Point(ValueType::kFloat64), Q::kBad, 0},
      {"1e999", Point(ValueType::kFloat64), Q::kRange, 0},
      {"12 13", Point(ValueType::kFloat64), Q::kBad, 0},
      {"70000", Point(ValueType::kInt16), Q::kRange, 0},
      {"-1", Point(ValueType::kUInt16), Q::kRange, 0},
      {"1.5", Point(ValueType::kInt32), Q::kBad, 0},
      {"65535", Point(ValueType::kUInt16), Q::kGood, 65535},
      {"{\"pv\": 12.5}", Point(ValueType::kFloat64, "/pv"), Q::kGood, 12.5},
      {"{\"a\": {\"b\": [1, 7]}}", Point(ValueType::kFloat64, "/a/b/1"), Q::kGood, 7},
      {"{\"pv\": \"12\"}", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"{\"pv\": null}", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"{\"other\": 1}", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      // Ambiguous or nested past reason: refused, never followed down.
      {"{\"pv\": 1, \"pv\": 2}", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"{\"pv\": 3, \"x\": " + std::string(200, '[') + std::string(200, ']') + "}",
       Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"{\"pv\": 1", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"[1,2]", Point(ValueType::kFloat64, "/pv"), Q::kBad, 0},
      {"{\"pv\": true}", Point(ValueType::kBool, "/pv"), Q::kGood, 1},
      {std::string(5000, '1'), Point(ValueType::kFloat64), Q::kBad, 0},
  };
  for (const auto& c : cases) {
    auto r = ReadPayload(c.payload, c.point, 4096);
    EXPECT_EQ(r.quality, c.quality) << c.payload.substr(0, 40);
    if (r.quality == Q::kGood) {
      EXPECT_DOUBLE_EQ(r.value, c.value) << c.payload;
    }
  }
}

TEST(Payload, ScaleOffsetAndRange) {
  SourcePoint p = Point(ValueType::kFloat64);
  p.scale = 0.1;
  p.offset = -10;
  p.rangeMin = 0;
  p.rangeMax = 100;
  EXPECT_DOUBLE_EQ(ReadPayload("200", p, 100).value, 10);
  EXPECT_EQ(ReadPayload("50", p, 100).quality, Q::kRange);     // -5: under the range
  EXPECT_EQ(ReadPayload("1200", p, 100).quality, Q::kRange);   // 110: over it
  EXPECT_EQ(ReadPayload("1e308", p, 100).quality, Q::kRange);  // finite, but not scaled
}

TEST(Registers, DecodeByTypeAndWordOrder) {
  struct {
    ValueType type;
    bool little;
    uint16_t regs[2];
    Q quality;
    double value;
  } cases[] = {
      {ValueType::kUInt16, false, {0xFFFF, 0}, Q::kGood, 65535},
      {ValueType::kInt16, false, {0xFFFF, 0}, Q::kGood, -1},
      {ValueType::kInt32, false, {0xFFFF, 0xFFFE}, Q::kGood, -2},
      {ValueType::kInt32, true, {0xFFFE, 0xFFFF}, Q::kGood, -2},
      {ValueType::kUInt32, false, {0x0001, 0x0000}, Q::kGood, 65536},
      {ValueType::kUInt32, true, {0x0000, 0x0001}, Q::kGood, 65536},
      {ValueType::kFloat32, false, {0x42C8, 0x0000}, Q::kGood, 100.0},  // 100.0f
      {ValueType::kFloat32, true, {0x0000, 0x42C8}, Q::kGood, 100.0},
      {ValueType::kFloat32, false, {0x7FC0, 0x0000}, Q::kBad, 0},  // NaN
      {ValueType::kFloat32, false, {0x7F80, 0x0000}, Q::kBad, 0},  // infinity
      {ValueType::kBool, false, {5, 0}, Q::kGood, 1},
  };
  for (const auto& c : cases) {
    SourcePoint p = Point(c.type);
    p.wordsLittle = c.little;
    auto r = DecodeRegisters(c.regs, p);
    EXPECT_EQ(r.quality, c.quality) << static_cast<int>(c.type) << " " << c.regs[0];
    if (r.quality == Q::kGood) {
      EXPECT_DOUBLE_EQ(r.value, c.value) << static_cast<int>(c.type);
    }
  }
}

SourcePoint At(Table t, uint16_t address, ValueType type = ValueType::kUInt16) {
  SourcePoint p;
  p.table = t;
  p.address = address;
  p.type = t == Table::kCoil || t == Table::kDiscrete ? ValueType::kBool : type;
  return p;
}

TEST(PollPlan, ContiguousRegistersShareOneRequest) {
  std::vector<SourcePoint> pts;
  for (uint16_t a = 0; a < 250; ++a) pts.push_back(At(Table::kHolding, a));
  auto plan = PlanPolls(pts, 125, 0);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].start, 0);
  EXPECT_EQ(plan[0].count, 125);
  EXPECT_EQ(plan[1].start, 125);
  EXPECT_EQ(plan[1].count, 125);
  EXPECT_EQ(plan[0].uses.size() + plan[1].uses.size(), 250u);
}

TEST(PollPlan, BitsGoTwoThousandARequest) {
  std::vector<SourcePoint> pts;
  for (uint16_t a = 0; a <= 2000; ++a) pts.push_back(At(Table::kCoil, a));
  auto plan = PlanPolls(pts, 125, 0);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].count, 2000);
  EXPECT_EQ(plan[1].start, 2000);
  EXPECT_EQ(plan[1].count, 1);
}

TEST(PollPlan, SplitsOnTablesGapsAndNeverCutsAValue) {
  std::vector<SourcePoint> pts = {
      At(Table::kInput, 30, ValueType::kFloat32),  // 30..31
      At(Table::kHolding, 0),
      At(Table::kInput, 32),  // next to the float
      At(Table::kInput, 40),  // a gap of 7
      At(Table::kDiscrete, 12),
      At(Table::kDiscrete, 0),
      At(Table::kHolding, 123, ValueType::kUInt32),  // 123..124: fits
      At(Table::kHolding, 125, ValueType::kUInt32),  // 125..126: would make 127
  };
  for (uint16_t a = 1; a < 123; ++a) pts.push_back(At(Table::kHolding, a));
  auto plan = PlanPolls(pts, 125, 0);
  // coil < discrete < holding < input in table order.
  ASSERT_EQ(plan.size(), 6u);
  EXPECT_EQ(plan[0].table, Table::kDiscrete);
  EXPECT_EQ(plan[0].count, 1);
  EXPECT_EQ(plan[1].start, 12);
  EXPECT_EQ(plan[2].table, Table::kHolding);
  EXPECT_EQ(plan[2].start, 0);
  EXPECT_EQ(plan[2].count, 125);
  EXPECT_EQ(plan[3].start, 125);
  EXPECT_EQ(plan[3].count, 2);
  EXPECT_EQ(plan[4].table, Table::kInput);
  EXPECT_EQ(plan[4].start, 30);
  EXPECT_EQ(plan[4].count, 3);
  EXPECT_EQ(plan[5].start, 40);
  // With room for the gap, the input registers take one request.
  auto wide = PlanPolls(pts, 125, 10);
  int inputs = 0;
  for (const auto& r : wide) inputs += r.table == Table::kInput;
  EXPECT_EQ(inputs, 1);
  for (const auto& r : plan) {
    for (const auto& u : r.uses) {
      EXPECT_LE(u.offset + (pts[u.point].table == Table::kDiscrete
                                ? 1
                                : tolvane::field::RegistersOf(pts[u.point].type)),
                r.count);
    }
  }
}

}  // namespace
