#include "tools/node_options.h"

#include <CLI/CLI.hpp>

#include "net/connection.h"

namespace tolvane::cli {

void AddNodeDaemonOptions(CLI::App& app, NodeDaemonOptions& o) {
  app.add_option("--config", o.config,
                 "a TOML file of these options (docs/configuration.md); the command line wins");
  app.add_option("--nats", o.url, "NATS server URL(s), comma-separated");
  app.add_option("--node", o.nodeName, "the node this daemon owns");
  app.add_option("--credentials", o.credentials,
                 "a file holding user:password, or a .creds file (default: $" +
                     std::string(nats::kCredentialsVariable) + ")");
  app.add_option("--ca", o.caFile, "trusted certificates for tls:// servers");
  app.add_option("--store", o.storePath, "the plant store (SQLite) holding this node");
  app.add_option("--plant", o.plantFile, "plant exchange file (JSON); default: the demo plant")
      ->excludes("--store");
  app.add_option("--demo-tags", o.demoTags, "tags of the demo plant over all nodes");
  app.add_option("--demo-nodes", o.demoNodes, "nodes of the demo plant");
  app.add_option("--seed", o.seed, "seed of the demo plant and the simulator");
  app.add_option("--simulate", o.simulate, "alarm events per second on this node");
  app.add_option("--replicas", o.replicas, "stream replicas when the streams are made");
  app.add_option("--heartbeat", o.heartbeatMs, "milliseconds between heartbeats")
      ->check(CLI::Range(100, 60000));
  app.add_flag("--make-streams", o.makeStreams,
               "admin: make the streams when missing (with --replicas), then exit");
  app.add_option("--metrics-listen", o.metricsListen,
                 "serve /metrics, /healthz and /readyz on HOST:PORT (default: off; "
                 "docs/metrics.md)");
  app.add_option("--age-tombstones", o.tombstoneAge,
                 "admin: remove tombstones older than this (7d, 12h), then exit");
#ifdef TOLVANE_WITH_FIELD
  app.add_option("--sources", o.sourcesFile, "field sources of this node (docs/sources.md)");
#endif
}

}  // namespace tolvane::cli
