#include "ops/event_log.h"

#include <iostream>

namespace tolvane::ops {

namespace {

const char* LevelName(Level level) {
  switch (level) {
    case Level::kDebug:
      return "debug";
    case Level::kInfo:
      return "info";
    case Level::kWarn:
      return "warn";
    case Level::kError:
      return "error";
  }
  return "info";
}

bool Plain(unsigned char c) {
  return c > 0x20 && c < 0x7f && c != '"' && c != '=' && c != '\\';
}

}  // namespace

std::string EscapeValue(std::string_view value) {
  bool plain = !value.empty();
  for (unsigned char c : value) plain = plain && Plain(c);
  if (plain) return std::string(value);
  std::string out = "\"";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : value) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string FormatEvent(Level level, std::string_view event, const Fields& fields) {
  std::string line = "level=";
  line += LevelName(level);
  line += " event=" + EscapeValue(event);
  for (const auto& [key, value] : fields) {
    // Keys are the program's own words; anything else would break the line.
    std::string k;
    for (char c : key) k += Plain(static_cast<unsigned char>(c)) ? c : '_';
    line += " " + (k.empty() ? std::string("_") : k) + "=" + EscapeValue(value);
  }
  return line;
}

EventLog::EventLog(std::ostream& out) : EventLog(out, Options{}) {}

EventLog::EventLog(std::ostream& out, Options options) : out_(out), options_(std::move(options)) {}

EventLog::Clock::time_point EventLog::Now() const {
  return options_.now ? options_.now() : Clock::now();
}

void EventLog::Write(const std::string& line) {
  out_ << line << '\n' << std::flush;
}

void EventLog::Log(Level level, std::string_view event, const Fields& fields,
                   std::string_view key) {
  std::string id(event);
  if (!key.empty()) id += "\x1f" + std::string(key);
  std::lock_guard lock(m_);
  Clock::time_point now = Now();
  auto [it, fresh] = windows_.try_emplace(id);
  Window& w = it->second;
  Fields all = fields;
  if (fresh || now - w.start >= options_.window) {
    if (w.suppressed > 0) all.emplace_back("suppressed", std::to_string(w.suppressed));
    w = Window{now, 0, 0, level, std::string(event)};
  }
  if (w.written >= options_.burst) {
    ++w.suppressed;
    return;
  }
  ++w.written;
  Write(FormatEvent(level, event, all));
}

void EventLog::Flush() {
  std::lock_guard lock(m_);
  Clock::time_point now = Now();
  for (auto it = windows_.begin(); it != windows_.end();) {
    Window& w = it->second;
    if (now - w.start < options_.window) {
      ++it;
      continue;
    }
    if (w.suppressed > 0) {
      Fields f;
      std::size_t sep = it->first.find('\x1f');
      if (sep != std::string::npos) f.emplace_back("key", it->first.substr(sep + 1));
      f.emplace_back("suppressed", std::to_string(w.suppressed));
      Write(FormatEvent(w.level, w.event, f));
    }
    it = windows_.erase(it);
  }
}

EventLog& Events() {
  static EventLog log(std::cerr);
  return log;
}

}  // namespace tolvane::ops
