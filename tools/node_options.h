// The options of tolvane-node, shared by the daemon and by `tolvane config`
// (which checks a daemon's configuration file against the same options).
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace tolvane::cli {

struct NodeDaemonOptions {
  std::string config;
  std::string url = "nats://127.0.0.1:4222";
  std::string nodeName;
  std::string credentials;
  std::string caFile;
  std::string plantFile;
  std::string storePath;
  std::string tombstoneAge;
  int demoTags = 300;
  int demoNodes = 3;
  uint32_t seed = 1;
  double simulate = 0;
  int replicas = 1;
  bool makeStreams = false;
  int heartbeatMs = 1000;
  std::string sourcesFile;
  std::string metricsListen;
};

// Adds the daemon's options, --config among them, to `app`.
void AddNodeDaemonOptions(CLI::App& app, NodeDaemonOptions& o);

}  // namespace tolvane::cli
