// Byte-exact records that cross the library's boundaries: the queue's alarm
// message and packet, the display row, the sort/filter controls, the database
// field address. Little-endian, packed; every offset is checked below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma pack(push, 1)

// Database address of one field of one block.
struct VSP {
  uint8_t fieldAttr;     // field part
  char blockType;        // block part: the reference letter
  int16_t blockNumber;   // block part: the reference number
  uint16_t fieldWord1;   // field part
  uint16_t blockWord;    // block part, never taken from the cache
  uint16_t fieldWord2;   // field part
};

// An alarm value as the queue carries it.
struct _AlmCanonicalValue {
  int32_t kind;  // 1..9
  union {
    int16_t i16;
    int8_t i8;
    uint8_t u8;
    uint16_t u16;
    int32_t i32;
    uint32_t u32;
    float f32;
    uint8_t raw[8];
  } value;
  int16_t textFlag;  // nonzero: the value is text
  char text[80];
};

// A value with every byte clear. `_AlmCanonicalValue v{}` clears only the
// union's first member; the other bytes would travel on as whatever was there.
inline _AlmCanonicalValue ClearedValue() {
  _AlmCanonicalValue v;
  std::memset(&v, 0, sizeof v);
  return v;
}

// The alarm packet inside a queue message.
struct _ALMPAK {
  uint8_t reserved0[16];
  char physicalNode[9];
  char node[9];
  uint8_t reserved1[4];
  int16_t priority;
  uint8_t reserved2[38];
  int32_t msgType;  // 8: operator message
  _AlmCanonicalValue value;
  VSP vsp;
  char tagName[31];
  uint8_t reserved3[54];
  int32_t statusCode;  // -1: none
  uint8_t reserved4[12];
  char description[133];
  union {
    struct {
      int16_t extKind;  // 0: two texts, 1: field block
      char ext1[81];
      uint8_t gap[2];
      char ext2[81];
      uint8_t tail[4];
    } ext;
    uint8_t fieldBlock[170];
  };
  uint8_t reserved5[540];
  uint32_t areaCount;  // at most 15
  char areas[15][30];
};

// One alarm in the queue.
struct SUMQMSG {
  uint8_t reserved0[156];
  _ALMPAK almpak;
  uint8_t reserved1[48];
  char timeLast[20];
  char timeIn[20];
  char dateLast[20];
  char dateIn[20];
  int16_t ackFlag;  // nonzero: acknowledged
  uint8_t reserved2[32];
};

// The 1310-byte display row.
struct tagAlarmStr {
  char ack[1];
  char reference[64];
  char areas[465];
  char dateIn[20];
  char dateLast[20];
  char timeIn[20];
  char timeLast[20];
  char node[9];
  char tagName[31];
  char priority[20];
  char status[133];
  char description[133];
  char value[28];
  char ext1[81];
  char ext2[81];
  uint8_t fieldBlock[170];
  VSP vsp;
  int32_t statusCode;
};

// The queue's sort control.
struct SORT_CNTL {
  uint8_t key;
  uint8_t direction;  // 0 ascending, 1 descending
  uint8_t reserved[2];
};

// The queue's filter control; the library always passes the same empty one.
struct FLTER_CNTL {
  int32_t type;      // 0
  uint8_t version;   // 9
  uint8_t reserved0[75];
  int16_t count1;    // 0
  int16_t count2;    // 0
};

// Status of one queue call.
struct ERROR_REC {
  int16_t status;
  int16_t reserved;
};

// The queue header.
struct SUMQHDR {
  uint8_t reserved0[2];
  int16_t hornEnabled;
  uint8_t reserved1[70];
  int32_t totalAlarms;
  uint8_t reserved2[16];
  int32_t sequenceNumber;
  uint8_t reserved3[378];
};

#pragma pack(pop)

static_assert(sizeof(VSP) == 10);
static_assert(offsetof(VSP, blockType) == 1);
static_assert(offsetof(VSP, blockNumber) == 2);
static_assert(offsetof(VSP, fieldWord1) == 4);
static_assert(offsetof(VSP, blockWord) == 6);
static_assert(offsetof(VSP, fieldWord2) == 8);

static_assert(sizeof(_AlmCanonicalValue) == 94);
static_assert(offsetof(_AlmCanonicalValue, value) == 4);
static_assert(offsetof(_AlmCanonicalValue, textFlag) == 12);
static_assert(offsetof(_AlmCanonicalValue, text) == 14);

static_assert(sizeof(_ALMPAK) == 1584);
static_assert(offsetof(_ALMPAK, physicalNode) == 16);
static_assert(offsetof(_ALMPAK, node) == 25);
static_assert(offsetof(_ALMPAK, priority) == 38);
static_assert(offsetof(_ALMPAK, msgType) == 78);
static_assert(offsetof(_ALMPAK, value) == 82);
static_assert(offsetof(_ALMPAK, vsp) == 176);
static_assert(offsetof(_ALMPAK, vsp) + offsetof(VSP, blockType) == 177);
static_assert(offsetof(_ALMPAK, vsp) + offsetof(VSP, blockNumber) == 178);
static_assert(offsetof(_ALMPAK, tagName) == 186);
static_assert(offsetof(_ALMPAK, statusCode) == 271);
static_assert(offsetof(_ALMPAK, description) == 287);
static_assert(offsetof(_ALMPAK, ext) == 420);
static_assert(offsetof(_ALMPAK, ext.ext1) == 422);
static_assert(offsetof(_ALMPAK, ext.ext2) == 505);
static_assert(offsetof(_ALMPAK, fieldBlock) == 420);
static_assert(offsetof(_ALMPAK, areaCount) == 1130);
static_assert(offsetof(_ALMPAK, areas) == 1134);

static_assert(sizeof(SUMQMSG) == 1902);
static_assert(offsetof(SUMQMSG, almpak) == 156);
static_assert(offsetof(SUMQMSG, timeLast) == 1788);
static_assert(offsetof(SUMQMSG, timeIn) == 1808);
static_assert(offsetof(SUMQMSG, dateLast) == 1828);
static_assert(offsetof(SUMQMSG, dateIn) == 1848);
static_assert(offsetof(SUMQMSG, ackFlag) == 1868);

static_assert(sizeof(tagAlarmStr) == 1310);
static_assert(offsetof(tagAlarmStr, reference) == 1);
static_assert(offsetof(tagAlarmStr, areas) == 65);
static_assert(offsetof(tagAlarmStr, dateIn) == 530);
static_assert(offsetof(tagAlarmStr, dateLast) == 550);
static_assert(offsetof(tagAlarmStr, timeIn) == 570);
static_assert(offsetof(tagAlarmStr, timeLast) == 590);
static_assert(offsetof(tagAlarmStr, node) == 610);
static_assert(offsetof(tagAlarmStr, tagName) == 619);
static_assert(offsetof(tagAlarmStr, priority) == 650);
static_assert(offsetof(tagAlarmStr, status) == 670);
static_assert(offsetof(tagAlarmStr, description) == 803);
static_assert(offsetof(tagAlarmStr, value) == 936);
static_assert(offsetof(tagAlarmStr, ext1) == 964);
static_assert(offsetof(tagAlarmStr, ext2) == 1045);
static_assert(offsetof(tagAlarmStr, fieldBlock) == 1126);
static_assert(offsetof(tagAlarmStr, vsp) == 1296);
static_assert(offsetof(tagAlarmStr, statusCode) == 1306);

static_assert(sizeof(SORT_CNTL) == 4);
static_assert(offsetof(FLTER_CNTL, version) == 4);
static_assert(offsetof(FLTER_CNTL, count1) == 80);
static_assert(offsetof(FLTER_CNTL, count2) == 82);
static_assert(sizeof(ERROR_REC) == 4);
static_assert(sizeof(SUMQHDR) == 476);
static_assert(offsetof(SUMQHDR, hornEnabled) == 2);
static_assert(offsetof(SUMQHDR, totalAlarms) == 74);
static_assert(offsetof(SUMQHDR, sequenceNumber) == 94);
