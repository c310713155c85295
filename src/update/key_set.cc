#include "update/key_set.h"

#include <algorithm>
#include <tuple>

namespace lumora {
namespace {

uint8_t Upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

}  // namespace

KeySet::KeySet() : node_key_(1, -1) {}

void KeySet::Add(const std::string& key) {
  if (key.empty() || ids_.count(key) != 0) return;
  const int id = static_cast<int>(ids_.size());
  ids_.emplace(key, id);
  int node = 0;
  for (char ch : key) {
    const uint64_t slot = (static_cast<uint64_t>(node) << 8) | static_cast<uint8_t>(ch);
    auto it = building_.find(slot);
    if (it == building_.end()) {
      const int child = static_cast<int>(node_key_.size());
      node_key_.push_back(-1);
      it = building_.emplace(slot, child).first;
    }
    node = it->second;
  }
  node_key_[node] = id;
}

int KeySet::Child(int node, uint8_t c) const {
  if (node == 0) return root_next_[c];
  const auto begin = edge_byte_.begin() + first_edge_[node];
  const auto end = edge_byte_.begin() + first_edge_[node + 1];
  const auto it = std::lower_bound(begin, end, c);
  if (it == end || *it != c) return 0;
  return edge_child_[static_cast<size_t>(it - edge_byte_.begin())];
}

void KeySet::Build() {
  const size_t nodes = node_key_.size();
  // Edges sorted by parent, then byte: each node's edges are one sorted run.
  std::vector<std::tuple<int, uint8_t, int>> edges;
  edges.reserve(building_.size());
  for (const auto& [slot, child] : building_) {
    edges.emplace_back(static_cast<int>(slot >> 8), static_cast<uint8_t>(slot & 0xFF), child);
  }
  building_.clear();
  building_.rehash(0);
  std::sort(edges.begin(), edges.end());
  first_edge_.assign(nodes + 1, 0);
  edge_byte_.resize(edges.size());
  edge_child_.resize(edges.size());
  root_next_.assign(256, 0);
  for (size_t i = 0; i < edges.size(); ++i) {
    const auto& [parent, byte, child] = edges[i];
    ++first_edge_[static_cast<size_t>(parent) + 1];
    edge_byte_[i] = byte;
    edge_child_[i] = child;
    if (parent == 0) root_next_[byte] = child;
  }
  for (size_t n = 0; n < nodes; ++n) first_edge_[n + 1] += first_edge_[n];

  // Breadth first: a node's fail link is found from its parent's, which is shallower.
  fail_.assign(nodes, 0);
  dict_.assign(nodes, -1);
  std::vector<int> queue;
  queue.reserve(nodes);
  queue.push_back(0);
  for (size_t head = 0; head < queue.size(); ++head) {
    const int u = queue[head];
    for (uint32_t e = first_edge_[u]; e < first_edge_[u + 1]; ++e) {
      const uint8_t c = edge_byte_[e];
      const int v = edge_child_[e];
      int f = 0;
      if (u != 0) {
        f = fail_[u];
        while (f != 0 && Child(f, c) == 0) f = fail_[f];
        f = Child(f, c);
      }
      fail_[v] = f;
      dict_[v] = node_key_[f] >= 0 ? f : dict_[f];
      queue.push_back(v);
    }
  }
  found_.assign(ids_.size(), 0);
  found_count_ = 0;
}

void KeySet::Scan(const std::string& line) {
  int state = 0;
  for (char ch : line) {
    const uint8_t c = Upper(static_cast<uint8_t>(ch));
    int next = Child(state, c);
    while (next == 0 && state != 0) {
      state = fail_[state];
      next = Child(state, c);
    }
    state = next;
    // Every key that ends here. A key found earlier had its whole chain marked with it, so
    // the walk stops at the first one already found.
    for (int n = node_key_[state] >= 0 ? state : dict_[state]; n >= 0; n = dict_[n]) {
      uint8_t& mark = found_[static_cast<size_t>(node_key_[n])];
      if (mark) break;
      mark = 1;
      ++found_count_;
    }
    if (AllFound()) return;
  }
}

bool KeySet::Found(const std::string& key) const {
  auto it = ids_.find(key);
  if (it == ids_.end() || static_cast<size_t>(it->second) >= found_.size()) return false;
  return found_[static_cast<size_t>(it->second)] != 0;
}

}  // namespace lumora
