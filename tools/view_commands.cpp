// list, check and watch: what the alarm summary shows.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plant/simulator.h"
#include "present/output.h"
#include "tools/commands.h"
#include "tools/terminal.h"

namespace tolvane::cli {
using namespace tolvane::plant;
using namespace tolvane::present;
namespace {

bool UseColor(const GlobalOptions& g) {
  if (g.color == "always") return true;
  if (g.color == "never") return false;
  return IsTerminal(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
}

void WriteShelved(std::ostream& out, const std::vector<ShelvedAlarm>& shelved,
                  const std::string& format) {
  if (format == "json") {
    nlohmann::json list = nlohmann::json::array();
    for (const ShelvedAlarm& s : shelved) {
      const PlantAlarm& a = s.alarm;
      list.push_back({{"reference", FormatReference({a.letter, a.number, a.node})},
                      {"node", a.node},
                      {"tag", a.tag},
                      {"description", a.description},
                      {"until", FormatUtc(s.until)},
                      {"by", a.shelvedBy},
                      {"reason", a.shelveReason}});
    }
    out << TerminalSafeJson(nlohmann::json{{"count", shelved.size()}, {"shelved", list}}.dump(
               2, ' ', false, nlohmann::json::error_handler_t::replace))
        << "\n";
    return;
  }
  for (const ShelvedAlarm& s : shelved) {
    const PlantAlarm& a = s.alarm;
    out << EscapeForTerminal(FormatReference({a.letter, a.number, a.node})) << "  "
        << EscapeForTerminal(a.tag)
        << "  until " << FormatUtc(s.until) << "  by " << EscapeForTerminal(a.shelvedBy)
        << (a.shelveReason.empty() ? "" : "  " + EscapeForTerminal(a.shelveReason)) << "\n";
  }
  out << shelved.size() << (shelved.size() == 1 ? " shelved alarm\n" : " shelved alarms\n");
}

// Draws one frame of the live view on a terminal: header, the table cut to
// the screen, colour by priority.
void DrawScreen(const std::vector<Row>& rows, long total, long matched, long seq, bool horn,
                bool color, const SimulatorCounts* sim, const std::string& stationLine) {
  TerminalSize size = GetTerminalSize(STDOUT_FILENO);
  std::ostringstream table;
  TableOptions t;
  t.total = total;
  t.matched = matched;
  WriteTable(table, rows, t);
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(table.str());
  while (std::getline(in, line)) lines.push_back(line);
  std::string screen = "\x1b[H";
  char head[256];
  std::snprintf(head, sizeof head, "tolvane watch  seq %ld  alarms %ld  horn %s%s  (q to quit)",
                seq, total, horn ? "on" : "off",
                sim ? ("  simulated +" + std::to_string(sim->raised) + " ~" +
                       std::to_string(sim->changed) + " -" + std::to_string(sim->cleared))
                          .c_str()
                    : "");
  // Cut by columns, never inside a character (the table's texts are escaped).
  auto cut = [&](const std::string& s) {
    return std::string(CutToWidth(s, static_cast<std::size_t>(std::max(size.columns, 0))));
  };
  screen += cut(head) + "\x1b[K\n" + cut(stationLine) + "\x1b[K\n";
  int room = size.rows - 3;
  for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < room; ++i) {
    bool isRow = i >= 1 && i <= rows.size();
    const char* c = color && isRow ? PriorityColor(rows[i - 1].priority) : "";
    bool last = i + 1 == lines.size() || static_cast<int>(i) + 1 == room;
    if (last && i + 1 < lines.size()) {
      screen += cut(lines.back());  // keep the footer in view
    } else {
      screen += std::string(c) + cut(lines[i]) + (*c ? "\x1b[0m" : "");
    }
    screen += "\x1b[K\n";
  }
  screen += "\x1b[J";
  std::cout << screen << std::flush;
}

}  // namespace

void CmdList(const GlobalOptions& g, const ListOptions& o, std::ostream& out) {
  Session s(g, false);
  if (o.shelved) {
    WriteShelved(out, s.store().Shelved(), o.format);
    return;
  }
  RequireFilter(s, o.filter);
  if (o.page > 0 && o.count <= 0) throw Failure{kExitUsage, "list: --page needs --count"};
  if (o.page > 0 && !o.after.empty()) {
    throw Failure{kExitUsage, "list: give --page or --after, not both"};
  }
  AlarmView view(o.sort, o.filter.c_str());
  AlarmViewCounts counts = CountView(s, view, o.filter);
  std::vector<Row> rows;
  const auto n = static_cast<std::size_t>(o.count);
  if (!o.after.empty()) {
    AlarmRef ref = CanonicalOrFail(o.after);
    std::string text = FormatReference(ref), place;
    short rc = view.PlaceOf(text.c_str(), &place);
    if (rc == kNotInView) {
      throw Failure{kExitUnknownReference, "no alarm in the summary has the reference \"" +
                                               EscapeForTerminal(o.after) + "\""};
    }
    RequireView(s, rc, o.filter);
    if (o.count < 0) {
      // The rest of the view after it, in pages.
      for (AlarmViewPage page;; place = page.last) {
        RequireView(s, view.After(place, 4096, &page), o.filter);
        std::vector<Row> decoded = DecodeRows(page.rows.data(), page.rows.size());
        rows.insert(rows.end(), decoded.begin(), decoded.end());
        if (page.atEnd || page.rows.empty()) break;
      }
    } else {
      AlarmViewPage page;
      RequireView(s, view.After(place, n, &page), o.filter);
      rows = DecodeRows(page.rows.data(), page.rows.size());
    }
  } else if (o.count < 0) {
    rows = AllRows(s, view, o.filter);
  } else {
    AlarmViewPage page;
    RequireView(s, view.Page(o.page > 0 ? static_cast<std::size_t>(o.page - 1) : 0, n, &page),
                o.filter);
    rows = DecodeRows(page.rows.data(), page.rows.size());
  }
  const auto matched = static_cast<long>(counts.matched);
  const auto total = static_cast<long>(counts.total);
  if (o.format == "csv") {
    WriteCsv(out, rows);
  } else if (o.format == "json") {
    WriteJson(out, rows, total, matched);
  } else {
    TableOptions t;
    t.color = UseColor(g);
    t.total = total;
    t.matched = matched;
    WriteTable(out, rows, t);
  }
}

void CmdCheck(const GlobalOptions& g, const std::string& filter, std::ostream& out) {
  Session s(g, false);
  RequireFilter(s, filter);
  out << (filter.empty() ? "valid (empty: no filter)" : "valid") << "\n";
}

int CmdWatch(const GlobalOptions& g, const WatchOptions& o) {
  auto session = std::make_unique<Session>(g, false);
  RequireFilter(*session, o.filter);
  bool station = session->IsStation();
  if (station && (o.simulate > 0 || o.save)) {
    throw Failure{kExitUsage, "watch: --simulate and --save work on a plant store, not a station"};
  }
  if (o.save) session->HoldNodes(g, nullptr, true);
  // The view is held in the node; the store is read again only when
  // another program changed it.
  if (!station) session->store().Rollback();
  std::unique_ptr<Simulator> sim;
  if (o.simulate > 0) {
    Plant plant;
    StoreError err;
    if (!session->store().Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
    sim = std::make_unique<Simulator>(session->node(), plant, o.seed);
  }
  bool tty = IsTerminal(STDOUT_FILENO);
  bool keys = tty && IsTerminal(STDIN_FILENO);
  bool color = UseColor(g);
  InstallStopHandlers();
  RawMode raw(keys ? STDIN_FILENO : -1);
  if (tty) std::cout << "\x1b[?1049h\x1b[?25l" << std::flush;  // own screen, no cursor
  auto start = std::chrono::steady_clock::now();
  auto last = start;
  long lastSeq = LONG_MIN;
  std::string lastStation;
  TerminalSize lastSize = GetTerminalSize(STDOUT_FILENO);
  for (long iteration = 0;; ++iteration) {
    if (StopRequested()) break;
    if (o.iterations > 0 && iteration >= o.iterations) break;
    auto now = std::chrono::steady_clock::now();
    if (o.seconds > 0 && std::chrono::duration<double>(now - start).count() >= o.seconds) break;
    if (sim) sim->Advance(std::chrono::duration<double>(now - last).count(), o.simulate);
    if (sim && iteration == 0) sim->Step();  // something happens at once
    last = now;
    if (station) {
      // The station follows the nodes by itself.
    } else if (session->store().EndExpiredShelves(Clock::now()), o.save) {
      StoreError err;
      if (!session->store().Begin(true, &err) || !session->store().Commit(&err)) {
        throw Failure{kExitSaveFailed, err.message};
      }
    } else if (!sim && session->store().ChangedElsewhere()) {
      session.reset();
      session = std::make_unique<Session>(g, false);
      session->store().Rollback();
      lastSeq = LONG_MIN;
    }
    Session& s = *session;
    long seq = s.mgr().GetAlarmSequenceNumber();
    std::string stationLine = s.StationLine();
    if (!stationLine.empty() && stationLine != lastStation) {
      lastStation = stationLine;
      lastSeq = LONG_MIN;  // online/offline shows at once
    }
    TerminalSize size = GetTerminalSize(STDOUT_FILENO);
    bool resized = size.rows != lastSize.rows || size.columns != lastSize.columns;
    if (seq != lastSeq || resized) {
      lastSeq = seq;
      lastSize = size;
      long count = o.count;
      if (tty && count < 0) count = std::max(1, size.rows - 5);
      AlarmView view(o.sort, o.filter.c_str());
      AlarmViewPage page;
      AlarmViewCounts counts;
      short rc = view.Count(&counts);
      if (rc == kOk) {
        rc = count < 0 ? kOk : view.First(static_cast<std::size_t>(count), &page);
      }
      std::vector<Row> rows = count < 0 && rc == kOk
                                  ? AllRows(s, view, o.filter)
                                  : DecodeRows(page.rows.data(), page.rows.size());
      long total = static_cast<long>(counts.total);
      long matched = static_cast<long>(counts.matched);
      short horn = 0;
      s.mgr().AlarmHornEnabled(&horn);
      if (rc != kOk) {
        if (tty) std::cout << "\x1b[?25h\x1b[?1049l" << std::flush;
        RequireView(s, rc, o.filter);
      }
      if (tty) {
        DrawScreen(rows, total, matched, seq, horn != 0, color, sim ? &sim->counts() : nullptr,
                   stationLine);
      } else {
        std::ostringstream frame;
        frame << "--- sequence " << seq << ", " << total << " alarms ---\n";
        if (!stationLine.empty()) frame << stationLine << "\n";
        TableOptions t;
        t.total = total;
        t.matched = matched;
        t.color = color;
        WriteTable(frame, rows, t);
        std::cout << frame.str() << std::flush;
      }
    }
    if (keys) {
      int key = ReadKey(STDIN_FILENO, o.intervalMs);
      if (key == 'q' || key == 'Q' || key == 3 /* Ctrl-C in raw mode */) break;
    } else {
      // Sleep in small steps so that a stop signal ends the wait at once.
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.intervalMs);
      while (!StopRequested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(o.intervalMs, 20)));
      }
    }
  }
  if (tty) std::cout << "\x1b[?25h\x1b[?1049l" << std::flush;
  if (sim && !tty) {
    std::cout << "simulated: " << sim->counts().raised << " raised, " << sim->counts().changed
              << " changed, " << sim->counts().cleared << " cleared\n";
  }
  return kExitOk;
}

}  // namespace tolvane::cli
