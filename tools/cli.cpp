#include "tools/cli.h"

#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tolvane/notice.h"
#include "plant/plant_json.h"
#include "present/output.h"
#include "tools/commands.h"
#include "tools/config_commands.h"
#include "tools/doctor_command.h"
#ifdef TOLVANE_WITH_WEB
#include "tools/web_commands.h"
#endif
#ifdef TOLVANE_WITH_FIELD
#include "tools/field_commands.h"
#endif

namespace tolvane::cli {
using plant::ReadInput;
using plant::ReadResult;
using present::DisplayWidth;
using present::EscapeForTerminal;
namespace {

constexpr const char* kTolvaneVersion = TOLVANE_VERSION;

// Notices (the library's message boxes) are collected and shown on stderr
// once, after the command, instead of one line per row.
std::vector<std::string>& Notices() {
  static std::vector<std::string> notices;
  return notices;
}

void CollectNotice(const char* text, unsigned int) {
  Notices().emplace_back(text ? text : "");
}

// A message for the terminal: whatever of a file or a filter it quotes is
// escaped line by line (escaping is idempotent, so parts escaped already
// stay as they are).
std::string EscapeLines(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = text.find('\n', start);
    out += EscapeForTerminal(std::string_view(text).substr(start, nl - start));
    if (nl == std::string::npos) return out;
    out += '\n';
    start = nl + 1;
  }
}

void FlushNotices() {
  std::map<std::string, int> counts;
  std::vector<std::string> order;
  for (const std::string& n : Notices()) {
    if (counts[n]++ == 0) order.push_back(n);
  }
  for (const std::string& n : order) {
    std::cerr << "tolvane: notice: " << EscapeLines(n);
    if (counts[n] > 1) std::cerr << " (" << counts[n] << " times)";
    std::cerr << "\n";
  }
  Notices().clear();
}

// The name recorded with what a person does: --user, else the login name.
std::string DefaultUser() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "unknown";
}

// The most a filter read from a file or standard input may hold.
constexpr std::size_t kMaxFilterBytes = 256 * 1024;

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// "@FILE" reads the filter from a file, "-" from standard input: a long
// filter does not fit a command line. An empty one is refused: it would
// select every alarm, and an empty file is far more often a mistake.
std::string ResolveFilter(const std::string& text) {
  if (text != "-" && (text.empty() || text[0] != '@')) return text;
  bool stdinput = text == "-";
  std::string name = stdinput ? "standard input" : text.substr(1);
  if (name.empty()) throw Failure{kExitUsage, "--filter @: give a file name after the @"};
  std::string content, why;
  if (ReadInput(name, stdinput ? STDIN_FILENO : -1, kMaxFilterBytes, &content, &why) !=
      ReadResult::kOk) {
    throw Failure{kExitUsage, "cannot read the filter: " + EscapeForTerminal(why)};
  }
  while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
    content.pop_back();
  }
  if (IsBlank(content)) {
    throw Failure{kExitUsage, "the filter " +
                                  (stdinput ? std::string("on standard input")
                                            : "file " + EscapeForTerminal(name)) +
                                  " is empty; an empty filter would select every alarm (leave "
                                  "--filter out to mean all)"};
  }
  return content;
}

// Sort codes: magnitude 1..13 picks the key, the sign the direction.
CLI::Validator SortCode() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(text.c_str(), &end, 10);
        if (errno != 0 || end == text.c_str() || *end != '\0' || v == 0 || v < -13 || v > 13) {
          return "sort code must be 1..13 or -1..-13, got " + text;
        }
        return {};
      },
      "SORT");
}

}  // namespace

int RunCli(int argc, char** argv) {
  CLI::App app{"tolvane: the alarm summary of a plant, through the Tolvane library"};
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the subcommand
  app.set_version_flag("--version", std::string("tolvane ") + kTolvaneVersion);
  GlobalOptions g;
  g.user = DefaultUser();
  auto* nodeOption = app.add_option("--node", g.nodeFile,
                 "plant store to use and, for commands that change something, to update "
                 "(default: the built-in demo plant, in memory)");
  app.add_option("--color", g.color, "colour the table: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
#ifdef TOLVANE_WITH_NATS
  app.add_option("--nats", g.natsUrl,
                 "work as a station of the plant-wide deployment at this server (nats://...)");
  app.add_option("--station", g.station, "the station's name (with --nats)");
  app.add_option("--credentials", g.credentials,
                 "a file holding user:password, or a .creds file (with --nats; default: "
                 "$TOLVANE_NATS_CREDENTIALS)");
#endif
  app.add_option("--user", g.user, "who acts, recorded in the journal (default: the login name)")
      ->check([](const std::string& u) -> std::string {
        if (u.empty() || u.size() > 32) return "a user name has 1 to 32 characters";
        for (unsigned char c : u) {
          if (c < 0x20 || c == 0x7f) return "a user name has no control characters";
        }
        return {};
      });

  ListOptions list;
  auto* cList = app.add_subcommand("list", "show a page of alarms");
  cList->add_option("--filter", list.filter,
                    "filter text, e.g. 'ASF_PRIORITY = \"HIGH\"'; @FILE or - reads it");
  cList->add_option("--sort", list.sort, "sort code (1 time in; negative: descending)")
      ->check(SortCode());
  cList->add_option("--count", list.count, "alarms wanted (a page), -1 for all")
      ->check(CLI::Range(-1L, 1000000000L));
  cList->add_option("--page", list.page, "page K (1 the first) of --count rows")
      ->check(CLI::Range(1L, 1000000000L));
  cList->add_option("--after", list.after, "the rows after this alarm reference");
  cList->add_option("--format", list.format, "table, csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  cList->add_flag("--shelved", list.shelved, "list the shelved alarms instead");

  std::string checkFilter;
  auto* cCheck = app.add_subcommand("check", "check a filter text");
  cCheck->add_option("FILTER", checkFilter, "the filter text; @FILE or - reads it")->required();

  ActOptions ack;
  auto* cAck = app.add_subcommand("ack", "acknowledge an alarm, or all that a filter selects");
  cAck->add_option("REF", ack.refs, "alarm reference (from `tolvane list`)")->expected(0, 1);
  cAck->add_flag("--all", ack.all, "every alarm the filter selects (all without one)");
  auto* ackFilter = cAck->add_option("--filter", ack.filter, "filter text (with --all)");
  cAck->add_flag("--quiet", ack.quiet, "send no operator message");

  std::string markRef;
  auto* cMark = app.add_subcommand("mark-ack", "mark an alarm acknowledged in the summary only");
  cMark->add_option("REF", markRef, "alarm reference")->required();

  std::string deleteRef;
  bool deleteQuiet = false;
  auto* cDelete = app.add_subcommand("delete", "delete an alarm through its database block");
  cDelete->add_option("REF", deleteRef, "alarm reference")->required();
  cDelete->add_flag("--quiet", deleteQuiet, "send no operator message");

  ActOptions remove;
  auto* cRemove = app.add_subcommand("remove", "remove alarms from the summary");
  cRemove->add_option("REF", remove.refs, "alarm references");
  cRemove->add_flag("--all", remove.all, "every alarm the filter selects (all without one)");
  auto* removeFilter = cRemove->add_option("--filter", remove.filter, "filter text (with --all)");
  cRemove->add_flag("--quiet", remove.quiet, "send no operator messages");

  ShelveOptions shelve;
  auto* cShelve = app.add_subcommand("shelve", "take alarms out of the summary for a while");
  cShelve->add_option("REF", shelve.refs, "alarm references")->required();
  cShelve->add_option("--for", shelve.duration, "how long: 30m, 2h, 1d (at most a year)")
      ->required();
  cShelve->add_option("--reason", shelve.reason, "why, for the journal")
      ->check([](const std::string& r) -> std::string {
        return r.size() > 132 ? "a reason has at most 132 bytes" : "";
      });
  ShelveOptions unshelve;
  auto* cUnshelve = app.add_subcommand("unshelve", "bring shelved alarms back at once");
  cUnshelve->add_option("REF", unshelve.refs, "alarm references")->required();

  std::string hornAction;
  auto* cHorn = app.add_subcommand("horn", "switch, silence or show the alarm horn");
  cHorn->add_option("ACTION", hornAction, "on, off, silence or status")
      ->required()
      ->check(CLI::IsMember({"on", "off", "silence", "status"}));

  std::string statusFormat = "text";
  auto* cStatus = app.add_subcommand("status", "queue total, sequence number, horn, object counts");
  cStatus->add_option("--format", statusFormat, "text or json")
      ->check(CLI::IsMember({"text", "json"}));

  LogOptions log;
  auto* cLog = app.add_subcommand("log", "the journal: operator messages and who did what");
  cLog->add_option("--since", log.since, "from this time on (2026-01-31T12:00:00Z, -2h)");
  cLog->add_option("--until", log.until, "before this time");
  cLog->add_option("--format", log.format, "text or json")->check(CLI::IsMember({"text", "json"}));

  WatchOptions watch;
  auto* cWatch = app.add_subcommand("watch", "live view; q or Ctrl-C quits");
  cWatch->add_option("--filter", watch.filter, "filter text; @FILE or - reads it");
  cWatch->add_option("--sort", watch.sort, "sort code (default -1: newest first)")
      ->check(SortCode());
  cWatch->add_option("--count", watch.count, "alarms shown, -1: as many as fit")
      ->check(CLI::Range(-1L, 65535L));
  cWatch->add_option("--simulate", watch.simulate, "simulate RATE alarm events per second")
      ->check(CLI::Range(0.0, 1000.0));
  cWatch->add_option("--iterations", watch.iterations, "stop after N refresh cycles")
      ->check(CLI::Range(0L, LONG_MAX));
  cWatch->add_option("--seconds", watch.seconds, "stop after S seconds")
      ->check(CLI::Range(0.0, 1e9));
  cWatch->add_option("--interval", watch.intervalMs, "milliseconds between refreshes")
      ->check(CLI::Range(1, 60000));
  cWatch->add_option("--seed", watch.seed, "simulator seed");
  cWatch->add_flag("--save", watch.save, "write the simulated changes to the --node store");

  StatsOptions stats;
  auto* cStats = app.add_subcommand("stats", "alarm-management figures");
  cStats->add_option("--filter", stats.filter, "filter text; @FILE or - reads it");
  cStats->add_option("--hours", stats.hours, "hours of alarm rate shown")
      ->check(CLI::Range(1, 24 * 14));
  cStats->add_option("--format", stats.format, "text or json")
      ->check(CLI::IsMember({"text", "json"}));

  DemoArgs demo;
  auto* cDemo = app.add_subcommand("demo", "write a demo plant (a store; .json: exchange format)");
  cDemo->add_option("--out", demo.out, "file to write")->required();
  cDemo->add_option("--nodes", demo.nodes, "number of nodes")->check(CLI::Range(1, 26));
  cDemo->add_option("--tags", demo.tags, "number of tags")->check(CLI::Range(1, 1000000));
  cDemo
      ->add_option("--alarms", demo.alarms,
                   "number of alarms (default: a third of the tags; more tags are made when "
                   "needed)")
      ->check(CLI::Range(0L, 1000000L));
  cDemo->add_option("--seed", demo.seed, "random seed");
  cDemo->add_flag("--relative-times", demo.relative,
                  "with .json: write times as offsets from now (\"-15m\")");
  cDemo->add_flag("--force", demo.force, "replace an existing file");

  ImportArgs import;
  auto* cImport = app.add_subcommand("import", "make a plant store of a JSON plant document");
  cImport->add_option("FILE", import.from, "the JSON plant document")->required();
  cImport->add_option("--out", import.out, "the store to write")->required();
  cImport->add_flag("--force", import.force, "replace an existing store");

  std::string exportFrom, exportOut;
  auto* cExport = app.add_subcommand("export", "write a store as a JSON plant document");
  cExport->add_option("STORE", exportFrom, "the store (default: --node, or the demo plant)");
  cExport->add_option("--out", exportOut, "the file to write (default: standard output)");

#ifdef TOLVANE_WITH_WEB
  WebCommands web(app, &g);
#endif
  DoctorCommand doctor(app, &g.nodeFile);
  ConfigCommands config(app);
#ifdef TOLVANE_WITH_FIELD
  FieldCommandRunner field = AddFieldCommands(app, &g.nodeFile);
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tolvane: error: " << e.what() << "\n(see tolvane --help)\n";
    return kExitUsage;
  }

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--node" && i + 1 < argc) {
      ++i;
    } else if (!a.starts_with("--node=")) {
      // Quoted for a shell when it needs to be.
      if (a.empty() || a.find_first_of(" \t'\"\\$`*?[]{}()<>|&;!#~") != std::string::npos) {
        std::string q = "'";
        for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        a = q + "'";
      }
      g.command += (g.command.empty() ? "" : " ") + a;
    }
  }
  SetNoticeHook(CollectNotice);
  std::ostringstream out;
  int rc = kExitOk;
  try {
    // An unset variable must not turn into the in-memory demo plant.
    if (nodeOption->count() > 0 && g.nodeFile.empty()) {
      throw Failure{kExitUsage,
                    "--node is empty; give a plant store (or leave --node out for the demo "
                    "plant)"};
    }
    ack.filterGiven = ackFilter->count() > 0;
    remove.filterGiven = removeFilter->count() > 0;
    // Only one argument may come from standard input.
    for (std::string* f :
         {&list.filter, &checkFilter, &ack.filter, &remove.filter, &watch.filter, &stats.filter}) {
      *f = ResolveFilter(*f);
    }
    if (config.Run(&rc)) return rc;
    if (doctor.Run(out, &rc)) {
      std::cout << out.str() << std::flush;
      return rc;
    }
#ifdef TOLVANE_WITH_WEB
    if (web.Run(&rc)) {
      FlushNotices();
      return rc;
    }
#endif
#ifdef TOLVANE_WITH_FIELD
    if (field(&rc)) {
      FlushNotices();
      return rc;
    }
#endif
    if (cList->parsed()) CmdList(g, list, out);
    if (cCheck->parsed()) CmdCheck(g, checkFilter, out);
    if (cAck->parsed()) CmdAck(g, ack, out);
    if (cMark->parsed()) CmdMarkAck(g, markRef, out);
    if (cDelete->parsed()) CmdDelete(g, deleteRef, deleteQuiet, out);
    if (cRemove->parsed()) CmdRemove(g, remove, out);
    if (cShelve->parsed()) CmdShelve(g, shelve, true, out);
    if (cUnshelve->parsed()) CmdShelve(g, unshelve, false, out);
    if (cHorn->parsed()) CmdHorn(g, hornAction, out);
    if (cStatus->parsed()) CmdStatus(g, statusFormat, out);
    if (cLog->parsed()) CmdLog(g, log, out);
    if (cStats->parsed()) CmdStats(g, stats, out);
    if (cDemo->parsed()) CmdDemo(demo, out);
    if (cImport->parsed()) CmdImport(import, out);
    if (cExport->parsed()) CmdExport(g, exportFrom, exportOut, out);
    if (cWatch->parsed()) rc = CmdWatch(g, watch);
  } catch (const Failure& f) {
    std::cout << out.str() << std::flush;
    FlushNotices();
    std::cerr << "tolvane: error: " << EscapeLines(f.message) << "\n";
    return f.code;
  } catch (const std::exception& e) {
    std::cout << out.str() << std::flush;
    FlushNotices();
    std::cerr << "tolvane: error: " << EscapeLines(e.what()) << "\n";
    return kExitFailed;
  }
  std::cout << out.str() << std::flush;
  FlushNotices();
  return rc;
}

}  // namespace tolvane::cli
