// A set of duplicate keys searched for in many lines at once: an Aho-Corasick automaton
// over the upper-cased keys. Every line is streamed through it once, so finding which keys
// occur in a file costs the file's length plus the keys' length, whatever their number.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumora {

class KeySet {
 public:
  KeySet();

  // Adds a key (already upper-cased, not empty); the same key twice is one key.
  void Add(const std::string& key);
  size_t size() const { return ids_.size(); }
  // Builds the automaton; call once after the last Add and before Scan.
  void Build();
  // Marks every key that occurs in the upper-cased line as a contiguous substring.
  void Scan(const std::string& line);
  bool AllFound() const { return found_count_ == ids_.size(); }
  // Whether key was added and has been found.
  bool Found(const std::string& key) const;

 private:
  int Child(int node, uint8_t c) const;

  std::unordered_map<std::string, int> ids_;  // key -> id
  // The trie while keys are added: (node << 8 | byte) -> child.
  std::unordered_map<uint64_t, int> building_;
  std::vector<int> node_key_;  // id of the key that ends at a node, or -1
  // The built automaton: each node's edges, sorted by byte, in one array.
  std::vector<uint32_t> first_edge_;
  std::vector<uint8_t> edge_byte_;
  std::vector<int> edge_child_;
  std::vector<int> root_next_;  // dense edges of the root: child, or 0 for the root itself
  std::vector<int> fail_;       // longest proper suffix that is a trie node
  std::vector<int> dict_;       // nearest node on the fail chain where a key ends, or -1
  std::vector<uint8_t> found_;  // per key id
  size_t found_count_ = 0;
};

}  // namespace lumora
