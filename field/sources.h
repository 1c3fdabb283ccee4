// The sources file: a node's field connections (MQTT brokers, Modbus TCP
// servers) and the points read through them, in TOML (docs/sources.md).
//
// Parsing checks everything that can be checked without connecting and
// reports every fault with its line and column, so a plant engineer fixes a
// file in one pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node/field_evaluator.h"

namespace tolvane::field {

enum class ValueType { kBool, kInt16, kUInt16, kInt32, kUInt32, kFloat32, kFloat64 };
enum class Table { kCoil, kDiscrete, kHolding, kInput };

// 16-bit registers a value of `type` takes (a bit for coils and discrete inputs).
int RegistersOf(ValueType type);
const char* TypeName(ValueType type);
const char* TableName(Table table);

struct SourcePoint {
  node::FieldPointConfig eval;               // node, tag, texts, limits, delays, priorities
  std::string setpointTag;                   // deviation: the point of this tag on the same node
  std::optional<double> rangeMin, rangeMax;  // readings outside: bad quality (RANGE)
  ValueType type = ValueType::kFloat64;
  double scale = 1, offset = 0;  // value = raw * scale + offset
  // MQTT
  std::string topic;
  std::string jsonPointer;  // empty: the payload is a number
  // Modbus
  Table table = Table::kHolding;
  uint16_t address = 0;      // zero-based, as on the wire
  bool wordsLittle = false;  // 32-bit values: low word first
  int line = 0, column = 0;
};

struct MqttSource {
  std::string name;
  std::string url;
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string ca, cert, key;
  std::string username, passwordFile;
  std::string clientId;  // default: "tolvane-<name>-<pid>"
  int qos = 1;
  int keepalive = 30;             // seconds
  std::size_t maxPayload = 4096;  // larger payloads are bad quality
  std::vector<SourcePoint> points;
  int line = 0;
};

struct ModbusSource {
  std::string name;
  std::string host = "127.0.0.1";
  int port = 502;
  int unit = 1;
  node::FieldDuration poll{1000};
  node::FieldDuration timeout{1000};
  int maxRegisters = 125;  // registers per read request (2000 bits for coils/inputs)
  int maxGap = 0;          // unused registers a request may span to save a request
  std::vector<SourcePoint> points;
  int line = 0;
};

struct SourcesFile {
  std::vector<MqttSource> mqtt;
  std::vector<ModbusSource> modbus;
};

struct SourceError {
  int line = 0, column = 0;  // 1-based; 0 when not tied to a place
  std::string message;
};

// "FILE:LINE:COLUMN: message".
std::string FormatError(const std::string& file, const SourceError& e);

// Parses and checks `text`. False when there is any error; every error found
// is in *errors, in file order.
bool ParseSources(std::string_view text, SourcesFile* out, std::vector<SourceError>* errors);
// The same for a file; an unreadable file is one error at line 0.
bool LoadSources(const std::string& path, SourcesFile* out, std::vector<SourceError>* errors);

// Points whose node is not in `nodes` (case-blind): one error each.
void CheckNodes(const SourcesFile& file, const std::vector<std::string>& nodes,
                std::vector<SourceError>* errors);

// "2s", "500ms", "1.5s", "1m", "1h", or a number of seconds; nothing when it
// does not read or is negative.
std::optional<node::FieldDuration> ParseFieldDuration(std::string_view text);

}  // namespace tolvane::field
