// status, log and stats: reports on the queue, the journal and the alarms.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "node/object_registry.h"
#include "node/summary_queue_message.h"
#include "present/output.h"
#include "present/stats.h"
#include "tolvane/app.h"
#include "tools/commands.h"
#ifdef TOLVANE_WITH_FIELD
#include "tools/field_commands.h"
#endif

namespace tolvane::cli {
using namespace tolvane::plant;
using namespace tolvane::present;

void CmdStatus(const GlobalOptions& g, const std::string& format, std::ostream& out) {
  Session s(g, false);
  long total = s.mgr().GetTotalNumOfAlarms();
  long seq = s.mgr().GetAlarmSequenceNumber();
  short enabled = 0;
  short hornRc = s.mgr().AlarmHornEnabled(&enabled);
  if (total < 0 || seq < 0 || hornRc != kOk) {
    throw Failure{kExitFailed, "the alarm queue header cannot be read"};
  }
  if (s.IsStation()) {
    out << s.StationReport();
    out << "Alarms in view:   " << total << "\n";
    out << "Sequence number:  " << seq << "\n";
    out << "Horn:             " << (enabled ? "enabled" : "disabled") << "\n";
    return;
  }
  StatusReport r;
  r.total = total;
  r.sequence = seq;
  r.hornEnabled = enabled != 0;
  r.hornSilenced = s.node().queue().HornSilenced();
  node::LocalNames names = s.node().localNames();
  r.localNode = names.name;
  for (const std::string* a : {&names.alias1, &names.alias2}) {
    if (!a->empty()) r.aliases.push_back(*a);
  }
  r.nodes = s.node().database().Nodes().size();
  r.blocks = s.node().database().Blocks().size();
  r.shelved = s.store().Shelved().size();
  if (!TolvaneApp().RegisterReporting()) {
    throw Failure{kExitFailed, "the object registry refused the report"};
  }
  for (const node::ObjectCount& c : s.node().registry().Collect()) {
    r.objects.push_back({c.module, c.name, c.value});
  }
  TolvaneApp().UnregisterReporting();
  if (format == "json") {
    WriteStatusJson(out, r);
  } else {
    WriteStatusText(out, r);
#ifdef TOLVANE_WITH_FIELD
    out << FieldStatusText(g.nodeFile);
#endif
  }
}

void CmdLog(const GlobalOptions& g, const LogOptions& o, std::ostream& out) {
  TimePoint now = Clock::now();
  auto when = [&](const std::string& text, const char* what) -> std::optional<TimePoint> {
    if (text.empty()) return std::nullopt;
    TimePoint t;
    if (!ParseTime(text, now, &t)) {
      throw Failure{kExitUsage, std::string("log: ") + what +
                                    " takes a time such as 2026-01-31T12:00:00Z or -2h"};
    }
    return t;
  };
  std::optional<TimePoint> since = when(o.since, "--since"), until = when(o.until, "--until");
  std::vector<LogEntry> entries;
  if (g.IsStation()) {
    entries = Session(g, false).StationLog(since, until);  // the journal stream
  } else {
    std::unique_ptr<PlantStore> store = OpenStore(g, now);
    std::vector<PlantLogEntry> log;
    StoreError err;
    if (!store->ReadJournal(since, until, &log, &err)) throw Failure{ExitFor(err), err.message};
    entries.reserve(log.size());
    for (const PlantLogEntry& e : log) entries.push_back({e.time, e.node, e.user, e.text, e.flag});
  }
  if (o.format == "json") {
    WriteLogJson(out, entries);
  } else {
    WriteLogText(out, entries);
  }
}

namespace {

// A row for the figures, made from a stored alarm: the figures count every
// alarm, not one view's page.
Row StatsRow(const PlantAlarm& a) {
  Row r;
  r.acknowledged = a.acknowledged;
  if (a.msgType != 8) r.reference = FormatReference({a.letter, a.number, a.node});
  r.node = a.node;
  r.tag = a.tag;
  const char* priority = PriorityNameOf(a.priority);
  r.priority = priority ? priority : std::to_string(a.priority);
  r.description = a.description;
  r.dateIn = node::detail::FormatDate(a.timeIn);
  r.timeIn = node::detail::FormatTime(a.timeIn);
  r.letter = a.letter;
  r.number = a.number;
  r.statusCode = a.status;
  return r;
}

}  // namespace

void CmdStats(const GlobalOptions& g, const StatsOptions& o, std::ostream& out) {
  std::vector<Row> rows;
  TimePoint now = Clock::now();
  std::size_t shelved = 0;
  if (o.filter.empty() && !g.IsStation()) {
    // Every alarm of the store, read straight from it.
    std::unique_ptr<PlantStore> store = OpenStore(g, now);
    Plant plant;
    StoreError err;
    if (!store->Read(&plant, &err)) throw Failure{ExitFor(err), err.message};
    rows.reserve(plant.alarms.size());
    for (const PlantAlarm& a : plant.alarms) {
      if (a.shelvedUntil && *a.shelvedUntil > now) {
        ++shelved;
        continue;
      }
      rows.push_back(StatsRow(a));
    }
  } else {
    // Every alarm the filter selects, through the whole view.
    Session s(g, false);
    RequireFilter(s, o.filter);
    AlarmView view(1, o.filter.c_str());
    rows = AllRows(s, view, o.filter);
    shelved = CountView(s, view, o.filter).shelved;
  }
  AlarmStats st = ComputeStats(rows, now, o.hours);
  st.shelved = shelved;
  if (o.format == "json") {
    WriteStatsJson(out, st);
  } else {
    WriteStatsText(out, st);
  }
}

}  // namespace tolvane::cli
