// The folder index's table of names by folded form, against a std::map model, through
// inserts and erases that fill, empty and refill it.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/folder_index.h"

namespace lumora {
namespace {

std::string Fold(const std::string& s) {
  std::string f = s;
  for (char& c : f) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return f;
}

TEST(FoldedNamesTest, AgreesWithAMapThroughInsertsAndErases) {
  struct Step {
    const char* what;
    bool insert;
    int first, count, stride;  // names n%06d.psd for n = first, first + stride, ...
    bool twins;                // also N%06d.PSD, the same folded form
  };
  const Step steps[] = {
      {"fill past several doublings", true, 0, 20000, 1, false},
      {"a twin for every tenth name", true, 0, 20000, 10, true},
      {"the same names again change nothing", true, 0, 20000, 7, false},
      {"erase every other name, twins left alone", false, 0, 20000, 2, false},
      {"erase the twins", false, 0, 20000, 10, true},
      {"names never added", false, 50000, 100, 1, false},
      {"refill over the erased slots", true, 0, 20000, 2, false},
      {"erase everything", false, 0, 20000, 1, false},
  };
  FoldedNames table;
  std::map<std::string, std::set<std::string>> model;
  char name[32];
  for (const Step& step : steps) {
    for (int n = step.first; n < step.first + step.count; n += step.stride) {
      std::snprintf(name, sizeof name, step.twins ? "N%06d.PSD" : "n%06d.psd", n);
      const std::string folded = Fold(name);
      if (step.insert) {
        table.Insert(folded, name);
        model[folded].insert(name);
      } else {
        table.Erase(folded, name);
        auto it = model.find(folded);
        if (it != model.end() && it->second.erase(name) && it->second.empty()) model.erase(it);
      }
    }
    ASSERT_EQ(table.size(), model.size()) << step.what;
    for (int n = 0; n < 20000; n += 97) {
      std::snprintf(name, sizeof name, "n%06d.psd", n);
      const auto it = model.find(Fold(name));
      const std::vector<std::string> expected =
          it == model.end() ? std::vector<std::string>()
                            : std::vector<std::string>(it->second.begin(), it->second.end());
      ASSERT_EQ(table.Find(Fold(name)), expected) << step.what << ": " << name;
    }
  }
  EXPECT_TRUE(table.Find("N000000.PSD").empty());
}

}  // namespace
}  // namespace lumora
