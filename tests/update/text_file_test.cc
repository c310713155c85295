#include "update/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "update_fixture.h"

namespace lumora::testing {
namespace {

class TextFileTest : public UpdateFixture {
 protected:
  std::vector<std::string> ReadLines(const std::string& bytes) {
    WriteFile(At("in.txt"), bytes);
    TextReader reader(*platform_.files, Dir() + "in.txt");
    std::vector<std::string> lines;
    std::string line;
    while (!reader.Eof()) {
      EXPECT_TRUE(reader.ReadLine(&line));
      lines.push_back(line);
    }
    EXPECT_FALSE(reader.ReadLine(&line));
    return lines;
  }

  std::string AppendTo(const std::string& before, const std::vector<std::string>& lines) {
    WriteFile(At("out.txt"), before);
    TextWriter writer = TextWriter::Append(*platform_.files, Dir() + "out.txt");
    for (const auto& l : lines) writer.WriteLine(l);
    writer.Close();
    return ReadFile(At("out.txt"));
  }
};

TEST_F(TextFileTest, LinesEndAtCrAndOnlyTheLfAfterACrBelongsToTheLineEnd) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\nb\r\n", {"a\nb"}},
      {"\n", {"\n"}},
      {"a\r\n\n", {"a", "\n"}},
      {"a\r\r\n", {"a", ""}},
      {"\r\n", {""}},
      {"\r\n\r\n", {"", ""}},
      {"a\n\r\n", {"a\n"}},
      {"abc", {"abc"}},
      {"a\r\nlast", {"a", "last"}},
      {"a\r\n\x1a"
       "b\r\n",
       {"a"}},
      {"ab\x1a"
       "cd",
       {"ab"}},
      {"\x1a", {}},
      {"a\r\x1a", {"a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadLines(c.bytes), c.lines) << "input: " << ::testing::PrintToString(c.bytes);
  }
}

TEST_F(TextFileTest, LineEndSplitAcrossBufferBoundaryIsOneLineEnd) {
  // The CR is the last byte of the first buffer and its LF the first of the next.
  const std::string first(kTextBufferSize - 1, 'x');
  EXPECT_EQ(ReadLines(first + "\r\n" + "y\r\n"), (std::vector<std::string>{first, "y"}));
  // A lone LF opening the next buffer after a CR-ended line is still skipped once only.
  EXPECT_EQ(ReadLines(first + "\r\n\n"), (std::vector<std::string>{first, "\n"}));
  EXPECT_EQ(ReadLines(first + "\r"), (std::vector<std::string>{first}));
}

TEST_F(TextFileTest, LinesHaveNoLengthLimit) {
  const std::string huge(3 * kTextBufferSize + 17, 'q');
  EXPECT_EQ(ReadLines("a\r\n" + huge + "\r\nb"), (std::vector<std::string>{"a", huge, "b"}));
}

TEST_F(TextFileTest, CreateWritesEveryLineWithCrLfAndEmptiesAnExistingFile) {
  WriteFile(At("out.txt"), "old content that must go");
  TextWriter writer = TextWriter::Create(*platform_.files, Dir() + "out.txt");
  writer.WriteLine("one");
  writer.WriteLine("");
  writer.WriteLine("lone\nlf");
  writer.Close();
  EXPECT_EQ(ReadFile(At("out.txt")), "one\r\n\r\nlone\nlf\r\n");
}

TEST_F(TextFileTest, AppendCutsAtEofMarkInTheLast128BytesAndNeverJoinsLines) {
  struct Case {
    std::string before;
    std::string after;
  };
  const std::string far_eof = "\x1a" + std::string(200, 'b') + "\r\n";
  const std::string edge = "x\x1a" + std::string(127, 'c');  // 0x1A exactly 128 from the end
  const std::vector<Case> cases = {
      {"", "new\r\n"},
      {"a\r\n", "a\r\nnew\r\n"},
      {"a\r", "a\rnew\r\n"},
      {"a", "a\r\nnew\r\n"},          // the last line gets its line end first
      {"a\n", "a\n\r\nnew\r\n"},      // a lone LF is part of the line, not its end
      {"a\r\n\x1a", "a\r\nnew\r\n"},  // cut at the mark
      {"a\x1a\r\n", "a\r\nnew\r\n"},  // cut, then the remaining line ended
      {"a\r\n\x1a\x1ajunk", "a\r\nnew\r\n"},
      {"\x1a", "new\r\n"},
      {"ab\r\x1a", "ab\rnew\r\n"},
      {far_eof, far_eof + "new\r\n"},  // a mark further back stays
      {edge, "x\r\nnew\r\n"},
      {"z" + std::string(200, 'd') + "\r\n\x1a", "z" + std::string(200, 'd') + "\r\nnew\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AppendTo(c.before, {"new"}), c.after)
        << "before: " << ::testing::PrintToString(c.before);
  }
}

TEST_F(TextFileTest, AppendingNothingKeepsAnUnendedLastLineAsItIs) {
  EXPECT_EQ(AppendTo("a", {}), "a");
  EXPECT_EQ(AppendTo("a\x1a", {}), "a");  // the cut itself always happens
}

TEST_F(TextFileTest, FailuresCarryTheFilesErrorText) {
  try {
    TextReader reader(*platform_.files, Dir() + "missing.txt");
    FAIL() << "opened a missing file";
  } catch (const IoError& e) {
    EXPECT_EQ(e.code(), errc::kFileNotFound);
    EXPECT_STREQ(e.what(), "File not found");
  }
  EXPECT_THROW(TextWriter::Append(*platform_.files, Dir() + "missing.txt"), IoError);
  EXPECT_THROW(TextWriter::Create(*platform_.files, Dir() + "no\\such\\dir.txt"), IoError);
}

TEST_F(TextFileTest, ManyLinesMoveInFewLargeCalls) {
  std::vector<std::string> lines;
  for (int i = 0; i < 50000; ++i) lines.push_back("line number " + std::to_string(i));
  WatchedFileSystem watched(*platform_.files);
  TextWriter writer = TextWriter::Create(watched, Dir() + "big.txt");
  for (const auto& l : lines) writer.WriteLine(l);
  writer.Close();
  const std::string bytes = ReadFile(At("big.txt"));
  ASSERT_EQ(bytes, CrLf(lines));
  const int max_calls = static_cast<int>(bytes.size() / kTextBufferSize) + 2;
  EXPECT_LE(watched.writes, max_calls);

  TextReader reader(watched, Dir() + "big.txt");
  std::string line;
  size_t n = 0;
  while (reader.ReadLine(&line)) ASSERT_EQ(line, lines[n++]);
  EXPECT_EQ(n, lines.size());
  EXPECT_LE(watched.reads, max_calls);
}

// What the free-space check expects a copy to take is what copying line by line writes,
// however the decoded bytes arrive in pieces.
TEST_F(TextFileTest, RewrittenSizeIsWhatACopyWrites) {
  for (const std::string& text :
       std::vector<std::string>{"", "abc", "a\r\nb", "\r\r\r", "a\nb\r", "a\r\n\r\nb\r\n",
                                std::string("x\x1Ay\r\n"), "\n\r\n\n"}) {
    SCOPED_TRACE(::testing::PrintToString(text));
    WriteFile(At("in.txt"), text);
    {
      TextReader in(*platform_.files, Dir() + "in.txt");
      TextWriter out = TextWriter::Create(*platform_.files, Dir() + "copy.txt");
      std::string line;
      while (!in.Eof()) {
        in.ReadLine(&line);
        out.WriteLine(line);
      }
      out.Close();
    }
    const int64_t copied = static_cast<int64_t>(ReadFile(At("copy.txt")).size());
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      RewrittenSize size;
      const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
      size.Write(bytes, cut);
      size.Write(bytes + cut, text.size() - cut);
      EXPECT_EQ(size.bytes(), copied) << "cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace lumora::testing
