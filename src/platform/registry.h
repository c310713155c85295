// The per-user registry (HKEY_CURRENT_USER) as the update reads it: keys are '\'-separated
// paths below the root, key and value names match without regard to letter case.
#pragma once

#include <optional>
#include <string>

namespace lumora {

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens key with full access, creating it (empty, with any missing parents) when it does
  // not exist. False when it can be neither opened nor created.
  virtual bool CreateKey(const std::string& key) = 0;
  // The string value name of key. nullopt when the key cannot be opened with full access
  // or has no such value. Throws RuntimeError(InvalidDataTypeText(name)) when the value
  // exists with a type other than a string.
  virtual std::optional<std::string> ReadString(const std::string& key,
                                                const std::string& name) = 0;
};

}  // namespace lumora
