// Shared set-up of the filter tests: the node's resource strings, node
// services and alarm areas installed, the process caches emptied before and
// after each test, and rows built field by field.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter/alarm_filter.h"
#include "filter/process_caches.h"
#include "node/alarm_areas.h"
#include "node/alarm_library.h"
#include "node/node_services.h"
#include "node/resource_strings.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    filter::ResetProcessCachesForTesting();
    services.SetNames({"LOCAL1", "ALIAS1", "ALIAS2"});
    InstallResourceBackend(&resources);
    InstallNodeServicesBackend(&services);
    InstallAlarmAreasBackend(&areas);
    InstallAlarmLibraryBackend(&library);
  }
  void TearDown() override {
    InstallResourceBackend(nullptr);
    InstallNodeServicesBackend(nullptr);
    InstallAlarmAreasBackend(nullptr);
    InstallAlarmLibraryBackend(nullptr);
    filter::ResetProcessCachesForTesting();
  }

  static FilterTerm Term(const char* field, const char* op, const char* value) {
    FilterTerm t{};
    SetFieldText(t.field, field);
    SetFieldText(t.op, op);
    SetFieldText(t.value, value);
    return t;
  }

  node::ResourceStrings resources;
  node::NodeServices services;
  node::AlarmAreas areas;
  node::AlarmLibrary library;
};

// A display row with the fields the filter reads.
struct RowBuilder {
  tagAlarmStr row{};
  RowBuilder& Tag(const std::string& s) { return Set(row.tagName, s); }
  RowBuilder& Node(const std::string& s) { return Set(row.node, s); }
  RowBuilder& Areas(const std::string& s) { return Set(row.areas, s); }
  RowBuilder& Priority(const std::string& s) { return Set(row.priority, s); }
  RowBuilder& Description(const std::string& s) { return Set(row.description, s); }
  RowBuilder& Ext1(const std::string& s) { return Set(row.ext1, s); }
  RowBuilder& Ext2(const std::string& s) { return Set(row.ext2, s); }
  RowBuilder& DateIn(const std::string& s) { return Set(row.dateIn, s); }
  RowBuilder& DateLast(const std::string& s) { return Set(row.dateLast, s); }
  RowBuilder& TimeIn(const std::string& s) { return Set(row.timeIn, s); }
  RowBuilder& TimeLast(const std::string& s) { return Set(row.timeLast, s); }
  RowBuilder& Acked(bool acked) {
    row.ack[0] = acked ? '1' : '0';
    return *this;
  }
  tagAlarmStr& operator*() { return row; }

 private:
  template <std::size_t N>
  RowBuilder& Set(char (&field)[N], const std::string& s) {
    SetFieldTextPadded(field, s);
    return *this;
  }
};

// Parses `filter` into `f` with a right-sized expression buffer.
struct Parsed {
  explicit Parsed(const std::string& filter) : expression(filter.size() + 1, '\x7f') {
    ok = f.ParseFilter(filter.c_str(), expression.data(), static_cast<int>(expression.size()));
  }
  int Match(tagAlarmStr& row) { return f.MatchFilter(expression.data(), &row); }
  std::string Expr() const { return std::string(expression.data()); }

  AlarmFilter f;
  std::vector<char> expression;
  int ok = 0;
};

}  // namespace tolvane::testing
