#include "field/node_sources.h"

namespace tolvane::field {

NodeSources::NodeSources(std::string path, std::string node)
    : path_(std::move(path)), node_(std::move(node)) {}

NodeSources::~NodeSources() {
  Stop();
}

bool NodeSources::Prepare(plant::PlantStore* store, plant::Plant* plant,
                          std::vector<std::string>* errors) {
  bool ok = store ? PrepareStore(*store, path_, node_, &file_, plant, errors)
                  : PreparePlant(*plant, path_, node_, &file_, errors);
  if (ok) plant_ = *plant;
  return ok;
}

bool NodeSources::Start(node::EmbeddedNode& node, const plant::Plant& plant, std::string* err) {
  host_ = std::make_unique<FieldHost>(node);
  return host_->Configure(file_, plant, node_, err) && host_->Start(err);
}

bool NodeSources::Pump() {
  return host_ && host_->Pump(std::chrono::milliseconds(0));
}

bool NodeSources::Reload(plant::PlantStore* store, node::EmbeddedNode& node,
                         std::vector<std::string>* errors) {
  SourcesFile file;
  plant::Plant plant = plant_;
  std::vector<std::string> errs;
  bool ok = store ? PrepareStore(*store, path_, node_, &file, &plant, &errs)
                  : PreparePlant(plant, path_, node_, &file, &errs);
  if (!ok) {
    errors->insert(errors->end(), errs.begin(), errs.end());
    return false;
  }
  // Blocks the node does not hold yet, as the store numbered them.
  for (const plant::PlantBlock& b : plant.blocks) {
    if (node.database().NodeSerial(b.node) != 0 && !node.database().FindBlock(b.node, b.tag)) {
      node.database().AddBlock(b.node, b.tag, b.letter, b.number);
    }
  }
  std::string why;
  if (!host_) host_ = std::make_unique<FieldHost>(node);
  if (!host_->Configure(file, plant, node_, &why) || !host_->Start(&why)) {
    errors->push_back(why);
    std::string ignored;
    host_->Start(&ignored);  // the running file's drivers go on
    return false;
  }
  file_ = std::move(file);
  plant_ = std::move(plant);
  return true;
}

void NodeSources::Stop() {
  if (host_) host_->Stop();
}

FieldStatus NodeSources::Status() const {
  return host_ ? host_->Status() : FieldStatus{};
}

}  // namespace tolvane::field
